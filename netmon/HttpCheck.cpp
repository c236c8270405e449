#include "HttpCheck.h"

#include <arpa/inet.h>
#include <cerrno>
#include <curl/curl.h>
#include <mutex>
#include <netinet/in.h>

namespace
{
// How often a transfer looks at the cancellation when curl wants no earlier wake-up.
constexpr int kPollSliceMs = 100;

std::size_t DiscardBody(char*, std::size_t size, std::size_t count, void*)
{
    return size * count;
}

struct CurlEasy
{
    CURL* handle = curl_easy_init();
    curl_slist* resolve = nullptr;
    ~CurlEasy()
    {
        if (handle != nullptr)
            curl_easy_cleanup(handle);
        curl_slist_free_all(resolve);
    }
};

struct CurlMulti
{
    CURLM* handle = curl_multi_init();
    ~CurlMulti()
    {
        if (handle != nullptr)
            curl_multi_cleanup(handle);
    }
};

std::string FailureReason(CURLcode code, CURL* easy, const char* detail, const PingTiming& timing)
{
    switch (code)
    {
    case CURLE_OPERATION_TIMEDOUT:
        return NoAnswerReason(timing);
    case CURLE_PEER_FAILED_VERIFICATION:
        return "TLS: certificate verify failed";
    case CURLE_COULDNT_CONNECT:
    {
        long osError = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &osError);
        if (osError == ECONNREFUSED)
            return "connection refused";
        break;
    }
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
        return std::string("TLS: ") + (detail[0] != '\0' ? detail : curl_easy_strerror(code));
    default:
        break;
    }
    return detail[0] != '\0' ? detail : curl_easy_strerror(code);
}

// One GET, abandoned as soon as the thread's check is cancelled.
bool GetOnce(const CheckTarget& target, const std::string& address, const PingTiming& timing, std::string& reason)
{
    CurlEasy easy;
    CurlMulti multi;
    if (easy.handle == nullptr || multi.handle == nullptr)
    {
        reason = "no HTTP transfer could be set up";
        return false;
    }
    char detail[CURL_ERROR_SIZE] = {};
    const std::string pinned = target.Host + ":" + std::to_string(target.Port) + ":" + address;
    easy.resolve = curl_slist_append(nullptr, pinned.c_str());
    CURL* e = easy.handle;
    curl_easy_setopt(e, CURLOPT_URL, target.Url.c_str());
    curl_easy_setopt(e, CURLOPT_RESOLVE, easy.resolve);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_PROXY, "");   // none, whatever the environment says
    curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timing.ReplyTimeoutMs));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &DiscardBody);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, detail);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "Quillmere Monitor");
    if (curl_multi_add_handle(multi.handle, e) != CURLM_OK)
    {
        reason = "no HTTP transfer could be set up";
        return false;
    }

    CURLcode result = CURLE_OK;
    bool done = false;
    while (!done)
    {
        int running = 0;
        if (curl_multi_perform(multi.handle, &running) != CURLM_OK)
        {
            result = CURLE_FAILED_INIT;
            break;
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi.handle, &queued))
        {
            if (message->msg == CURLMSG_DONE)
            {
                result = message->data.result;
                done = true;
            }
        }
        if (done || running == 0)
            break;
        curl_waitfd cancel{};
        cancel.fd = CheckCancelDescriptor();
        cancel.events = CURL_WAIT_POLLIN;
        curl_multi_poll(multi.handle, cancel.fd >= 0 ? &cancel : nullptr, cancel.fd >= 0 ? 1 : 0, kPollSliceMs,
                        nullptr);
        if (IsCheckCancelled())
        {
            curl_multi_remove_handle(multi.handle, e);
            return false;
        }
    }
    curl_multi_remove_handle(multi.handle, e);
    if (result != CURLE_OK)
    {
        reason = FailureReason(result, e, detail, timing);
        return false;
    }
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status <= 399)
        return true;
    reason = "HTTP " + std::to_string(status);
    return false;
}
}

CheckOutcome HttpCheck(const CheckTarget& target, const PingTiming& timing)
{
    // Once for the process, before any transfer; curl's own setup is not safe to race.
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    sockaddr_in address{};
    CheckOutcome failed;
    if (!ResolveIPv4(target.Host, address, timing.Tries * (timing.ReplyTimeoutMs + timing.PauseAfterFailureMs)))
    {
        failed.Abandoned = IsCheckCancelled();
        failed.Reason = "name not resolved";
        return failed;
    }
    char text[INET_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
    {
        failed.Reason = "name not resolved";
        return failed;
    }
    const std::string dotted = text;
    return RunTries(timing, [&](std::string& reason) { return GetOnce(target, dotted, timing, reason); });
}
