#pragma once

#include <mutex>
#include <string>

// The one line the Status page shows about the broker connection: empty when no bridge is
// configured, so that the page stays as it always was. Header-only, so the windows read it
// without linking the broker library.
namespace RemoteStatusLine
{
namespace Detail
{
inline std::mutex& Mutex()
{
    static std::mutex mutex;
    return mutex;
}
inline std::string& Text()
{
    static std::string text;
    return text;
}
}

inline void Set(std::string text)
{
    std::lock_guard<std::mutex> guard(Detail::Mutex());
    Detail::Text() = std::move(text);
}

inline std::string Get()
{
    std::lock_guard<std::mutex> guard(Detail::Mutex());
    return Detail::Text();
}
}
