#pragma once

#include <string>

namespace Json {
namespace Rpc {

// JSON-RPC over HTTP: one POST of the request text to the service URL; the
// reply body is kept for Recv. A new client is made for every attempt.
class HttpClient {
public:
    explicit HttpClient(const std::string& url);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // 0 on success, otherwise the non-zero transport error code.
    int Send(const std::string& text);
    // Fills text with the reply body; -1 when there is no usable reply
    // (nothing sent, HTTP status outside 2xx, body over 1 MiB).
    int Recv(std::string& text);

    static constexpr size_t kMaxBody = 1 << 20;

private:
    std::string url_;
    std::string body_;
    bool haveReply_ = false;
    bool overflow_ = false;
    long status_ = 0;
};

}  // namespace Rpc
}  // namespace Json
