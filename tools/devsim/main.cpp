#include <cstdio>

#include "SimOptions.h"
#include "Simulator.h"

int main(int argc, char** argv)
{
    SimOptions options;
    std::string error;
    switch (ParseOptions(argc, argv, options, error))
    {
    case ParseResult::Help:
        std::fputs(UsageText(), stdout);
        return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "quillmere-devsim: %s\n%s", error.c_str(), UsageText());
        return 2;
    case ParseResult::Run:
        break;
    }
    CSimulator simulator(std::move(options));
    return simulator.Run();
}
