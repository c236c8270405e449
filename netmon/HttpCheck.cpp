#include "HttpCheck.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <curl/curl.h>
#include <mutex>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace
{
// How often a transfer looks at the cancellation when curl wants no earlier wake-up.
constexpr int kPollSliceMs = 100;

// What one try saw; the transfer's callbacks fill it in.
struct TryState
{
    long Status = 0;            // the final status line's code, once its headers ended
    bool HeadersEnded = false;
    std::string Fingerprint;    // the pin asked for, 64 lower-case hex digits
    std::string Seen;           // the fingerprint the device showed, when it was not the pin
};

// The body is never awaited: a try ends with the blank line after the final status's
// headers (an interim 1xx status goes on to the next one). Aborting here is how a try
// ends early; the abort is not a failure when the headers had ended.
std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user)
{
    auto* state = static_cast<TryState*>(user);
    const std::size_t length = size * count;
    if (length >= 12 && std::strncmp(data, "HTTP/", 5) == 0)
    {
        const char* space = static_cast<const char*>(std::memchr(data, ' ', length));
        if (space != nullptr && space + 4 <= data + length)
            state->Status = std::strtol(space + 1, nullptr, 10);
        return length;
    }
    const bool blank = (length == 2 && data[0] == '\r' && data[1] == '\n') || (length == 1 && data[0] == '\n');
    if (blank && state->Status >= 200)
    {
        state->HeadersEnded = true;
        return 0;
    }
    return length;
}

// Reached only when a body arrives before the headers were seen to end; never wanted.
std::size_t OnBody(char*, std::size_t, std::size_t, void* user)
{
    static_cast<TryState*>(user)->HeadersEnded = static_cast<TryState*>(user)->Status >= 200;
    return 0;
}

std::string Hex(const unsigned char* bytes, unsigned length)
{
    std::string text;
    char pair[3];
    for (unsigned i = 0; i < length; ++i)
    {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        text += pair;
    }
    return text;
}

// The pin replaces the store: at depth 0 the device's own certificate must have the pinned
// SHA-256, whoever signed it and whatever name it carries; the chain above it is not asked.
// Runs during the handshake, so nothing (credentials included) is sent to a device that
// does not show the pinned certificate.
int VerifyPinned(int, X509_STORE_CTX* store)
{
    if (X509_STORE_CTX_get_error_depth(store) != 0)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* state = ssl != nullptr ? static_cast<TryState*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl))) : nullptr;
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    if (state == nullptr || certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return 0;
    const std::string seen = Hex(digest, length);
    if (seen == state->Fingerprint)
        return 1;
    state->Seen = seen;
    return 0;
}

// libcurl makes a TLS context per connection and hands it here before the handshake.
CURLcode OnSslContext(CURL*, void* context, void* user)
{
    SSL_CTX_set_app_data(static_cast<SSL_CTX*>(context), user);
    SSL_CTX_set_verify(static_cast<SSL_CTX*>(context), SSL_VERIFY_PEER, &VerifyPinned);
    return CURLE_OK;
}

// Pinning works in the handshake of OpenSSL, which this libcurl must use.
bool CurlUsesOpenSsl()
{
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    return info != nullptr && info->ssl_version != nullptr && std::strncmp(info->ssl_version, "OpenSSL", 7) == 0;
}

std::string ColonHex(const std::string& hex)
{
    std::string text;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    {
        if (!text.empty())
            text += ':';
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i])));
        text += static_cast<char>(std::toupper(static_cast<unsigned char>(hex[i + 1])));
    }
    return text;
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

// "no status within 2 s" for the usual timing: the headers are all a try waits for.
std::string NoStatusReason(const PingTiming& timing)
{
    std::string reason = NoAnswerReason(timing);
    return reason.replace(0, std::strlen("no answer"), "no status");
}

std::string FailureReason(CURLcode code, CURL* easy, const char* detail, const TryState& state,
                          const PingTiming& timing)
{
    if (!state.Seen.empty())
        return "TLS: certificate SHA-256 " + ColonHex(state.Seen) + " is not the pinned one";
    switch (code)
    {
    case CURLE_OPERATION_TIMEDOUT:
        return NoStatusReason(timing);
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

// One GET, ended by the final status's headers and abandoned as soon as the thread's check
// is cancelled.
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
    TryState state;
    state.Fingerprint = target.Fingerprint;
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
    // The whole try, connection and handshake included, up to the end of the headers.
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timing.ReplyTimeoutMs));
    if (target.Fingerprint.empty())
    {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    else
    {
        // The pin is the whole verification: the store and the name are not asked, the
        // handshake callback refuses any other certificate.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &state);
    }
    if (!target.User.empty())
    {
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(e, CURLOPT_USERNAME, target.User.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, target.Password.c_str());
    }
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &state);
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
    // A transfer the header callback ended on purpose comes back as a write error.
    if (!state.HeadersEnded && result == CURLE_OK)
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &state.Status);
    else if (!state.HeadersEnded)
    {
        reason = FailureReason(result, e, detail, state, timing);
        return false;
    }
    if (target.AnyStatus ? state.Status >= 100 : state.Status >= 200 && state.Status <= 399)
        return true;
    reason = "HTTP " + std::to_string(state.Status);
    return false;
}
}

CheckOutcome HttpCheck(const CheckTarget& target, const PingTiming& timing)
{
    // Once for the process, before any transfer; curl's own setup is not safe to race.
    static std::once_flag initialised;
    std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!target.Fingerprint.empty() && !CurlUsesOpenSsl())
    {
        CheckOutcome refused;
        refused.Reason = "TLS: a pinned certificate needs libcurl built with OpenSSL";
        return refused;
    }

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
