#include "service/http_client.h"

#include <curl/curl.h>

#include <mutex>

namespace Json {
namespace Rpc {

namespace {
struct Sink {
    std::string* body;
    bool* overflow;
};

size_t onData(char* data, size_t size, size_t count, void* user) {
    auto* sink = static_cast<Sink*>(user);
    size_t n = size * count;
    if (sink->body->size() + n > HttpClient::kMaxBody) {
        // Keep reading so the exchange ends normally; the reply is refused in Recv.
        *sink->overflow = true;
    } else {
        sink->body->append(data, n);
    }
    return n;
}
}  // namespace

HttpClient::HttpClient(const std::string& url) : url_(url) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpClient::~HttpClient() = default;

int HttpClient::Send(const std::string& text) {
    body_.clear();
    haveReply_ = false;
    overflow_ = false;
    status_ = 0;
    CURL* curl = curl_easy_init();
    if (!curl) return CURLE_FAILED_INIT;
    struct curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    Sink sink{&body_, &overflow_};
    curl_easy_setopt(curl, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, text.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &onData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 5L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    CURLcode rc = curl_easy_perform(curl);
    if (rc == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status_);
        haveReply_ = true;
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK ? 0 : static_cast<int>(rc);
}

int HttpClient::Recv(std::string& text) {
    if (!haveReply_ || overflow_ || status_ < 200 || status_ > 299) return -1;
    text = body_;
    return static_cast<int>(text.size());
}

}  // namespace Rpc
}  // namespace Json
