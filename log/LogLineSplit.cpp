#include "LogLineSplit.h"

LogLineFields SplitLogLine(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);

    LogLineFields fields;
    std::string* const columns[] = {&fields.DateTime, &fields.Level, &fields.Description};
    std::size_t column = 0;
    std::size_t start = 0;
    while (column < std::size(columns) && start <= line.size())
    {
        std::size_t comma = line.find(',', start);
        if (comma == std::string_view::npos)
            comma = line.size();
        if (comma > start)
            columns[column++]->assign(line.substr(start, comma - start));
        start = comma + 1;
    }
    return fields;
}
