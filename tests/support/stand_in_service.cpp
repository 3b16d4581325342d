// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

#include "support/stand_in_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <system_error>

namespace testsupport {

namespace {

// A keyword of 100,000 characters, percent-encoded, makes a request line of over a megabyte; the
// limits sit well above that.
constexpr std::size_t kMaxHead = 16 * 1024 * 1024;
constexpr std::size_t kMaxBody = 64 * 1024 * 1024;
// How long a closing connection waits for the client to finish sending.
constexpr std::chrono::milliseconds kLingerLimit{1000};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        return lower(x) == lower(y);
    });
}

bool containsIgnoringCase(std::string_view text, std::string_view word) {
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        if (equalsIgnoringCase(text.substr(i, word.size()), word)) return true;
    }
    return false;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

const char* reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string smallPage(std::string_view title, std::string_view text) {
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>";
    page += title;
    page += "</title></head><body><p>";
    page += text;
    page += "</p></body></html>\n";
    return page;
}

enum class Ready { Yes, Stop, Closed, Timeout };

// Waits for `events` on `fd` or for shutdown, whichever comes first.
Ready waitFor(int fd, short events, int wakeFd, int timeoutMs = -1) {
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
        const int n = ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Ready::Closed;
        if (fds[0].revents) return Ready::Stop;
        if (n == 0) return Ready::Timeout;
        if (fds[1].revents & events) return Ready::Yes;
        return Ready::Closed;  // POLLERR, POLLHUP or POLLNVAL without the wanted event
    }
}

// Sends everything or gives up when the peer leaves or shutdown begins.
bool sendAll(int socket, std::string_view data, int wakeFd) {
    while (!data.empty()) {
        const ssize_t n = ::send(socket, data.data(), data.size(), MSG_NOSIGNAL);
        if (n > 0) {
            data.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitFor(socket, POLLOUT, wakeFd) != Ready::Yes) return false;
        } else {
            return false;
        }
    }
    return true;
}

// Appends what the socket has; false when the peer has gone or shutdown begins.
bool receiveMore(int socket, std::string& buffer, int wakeFd) {
    for (;;) {
        char chunk[65536];
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n > 0) {
            buffer.append(chunk, static_cast<std::size_t>(n));
            return true;
        }
        if (n == 0) return false;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (waitFor(socket, POLLIN, wakeFd) != Ready::Yes) return false;
    }
}

std::string responseHead(const Reply& reply, std::size_t length, bool keepAlive) {
    std::string head =
        "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) + "\r\n";
    head += "Content-Type: " + reply.contentType + "\r\n";
    head += "Content-Length: " + std::to_string(length) + "\r\n";
    // Every repeat of a query must reach the stand-in, never the browser's cache.
    head += "Cache-Control: no-store\r\n";
    head += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    head += "\r\n";
    return head;
}

bool isFavicon(std::string_view target) {
    const auto query = target.find('?');
    return target.substr(0, query).ends_with("/favicon.ico");
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) return value;
    }
    return std::nullopt;
}

Reply Reply::page(std::string_view title) {
    return html(smallPage(title, "This page comes from the loopback stand-in service."));
}

Reply Reply::serverError() {
    return html(smallPage("Internal Server Error", "The stand-in failed on purpose."), 500);
}

Reply Reply::notFound() {
    return html(smallPage("Not Found", "Nothing here."), 404);
}

Reply Reply::slow(std::chrono::milliseconds delay, Reply reply) {
    reply.delay = delay;
    return reply;
}

Reply Reply::big(std::size_t bytes) {
    const std::string head = "<!DOCTYPE html><html><head><title>Big page</title></head><body><pre>";
    const std::string tail = "</pre></body></html>";
    const std::string line = "Filler line of the big stand-in page, 0123456789.\n";
    std::string body;
    body.reserve(bytes);
    if (bytes >= head.size() + tail.size()) {
        body = head;
        while (body.size() + tail.size() < bytes) {
            body.append(line, 0, std::min(line.size(), bytes - tail.size() - body.size()));
        }
        body += tail;
    } else {
        body.assign(bytes, 'x');
    }
    return html(std::move(body));
}

Reply Reply::hang() {
    Reply reply;
    reply.neverAnswer = true;
    return reply;
}

Reply Reply::endlessScript() {
    return html(
        "<!DOCTYPE html><html><head><title>Endless script</title></head>"
        "<body><p>Busy.</p><script>for(;;){}</script></body></html>\n");
}

Reply Reply::html(std::string body, int status) {
    Reply reply;
    reply.status = status;
    reply.body = std::move(body);
    return reply;
}

StandInService::StandInService() : m_defaultReply(std::make_shared<const Reply>(Reply::page())) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_listenFd < 0) throw std::system_error(errno, std::generic_category(), "socket");
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, 256) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const int error = errno;
        closeFd(m_listenFd);
        throw std::system_error(error, std::generic_category(), "cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) {
        const int error = errno;
        closeFd(m_listenFd);
        throw std::system_error(error, std::generic_category(), "eventfd");
    }
    m_acceptor = std::thread([this] { acceptLoop(); });
}

StandInService::~StandInService() {
    stop();
}

std::string StandInService::proxyUrl() const {
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string StandInService::chromiumFlags() const {
    // Chromium bypasses the proxy for loopback hosts unless "<-loopback>" removes that rule.
    return "--proxy-server=" + proxyUrl() + " --proxy-bypass-list=<-loopback>";
}

void StandInService::setReply(std::string targetSubstring, Reply reply) {
    auto shared = std::make_shared<const Reply>(std::move(reply));
    std::lock_guard lock(m_mutex);
    for (Rule& rule : m_rules) {
        if (rule.substring == targetSubstring) {
            rule.reply = std::move(shared);
            return;
        }
    }
    m_rules.push_back({std::move(targetSubstring), std::move(shared)});
}

void StandInService::setDefaultReply(Reply reply) {
    auto shared = std::make_shared<const Reply>(std::move(reply));
    std::lock_guard lock(m_mutex);
    m_defaultReply = std::move(shared);
}

void StandInService::clearReplies() {
    auto page = std::make_shared<const Reply>(Reply::page());
    std::lock_guard lock(m_mutex);
    m_rules.clear();
    m_defaultReply = std::move(page);
}

std::vector<RecordedRequest> StandInService::requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

void StandInService::clear() {
    std::lock_guard lock(m_mutex);
    m_requests.clear();
}

std::optional<RecordedRequest> StandInService::waitForRequest(
    const std::function<bool(const RecordedRequest&)>& match,
    std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    std::optional<RecordedRequest> found;
    m_recorded.wait_for(lock, timeout, [&] {
        for (const RecordedRequest& request : m_requests) {
            if (match(request)) {
                found = request;
                return true;
            }
        }
        return false;
    });
    return found;
}

std::optional<RecordedRequest> StandInService::waitForRequest(
    std::string_view targetSubstring, std::chrono::milliseconds timeout) const {
    return waitForRequest(
        [targetSubstring](const RecordedRequest& request) {
            return request.target.find(targetSubstring) != std::string::npos;
        },
        timeout);
}

void StandInService::stop() {
    {
        std::lock_guard lock(m_mutex);
        if (m_stopped) return;
        m_stopped = true;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(m_wakeFd, &one, sizeof one);
    if (m_acceptor.joinable()) m_acceptor.join();
    std::list<Worker> workers;
    {
        std::lock_guard lock(m_mutex);
        workers.swap(m_workers);
    }
    for (Worker& worker : workers) {
        if (worker.thread.joinable()) worker.thread.join();
    }
    closeFd(m_listenFd);
    closeFd(m_wakeFd);
}

void StandInService::acceptLoop() {
    for (;;) {
        const Ready ready = waitFor(m_listenFd, POLLIN, m_wakeFd);
        if (ready == Ready::Stop) return;
        const int socket = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (socket < 0) {
            // Out of descriptors, say: back off instead of spinning on a listener still readable.
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
                waitFor(-1, 0, m_wakeFd, 10);
            continue;
        }
        reapFinishedWorkers();
        std::lock_guard lock(m_mutex);
        Worker& worker = m_workers.emplace_back();
        try {
            worker.thread = std::thread([this, socket, &worker] {
                serve(socket);
                std::lock_guard workerLock(m_mutex);
                worker.done = true;
            });
        } catch (const std::system_error&) {
            m_workers.pop_back();
            ::close(socket);
        }
    }
}

void StandInService::reapFinishedWorkers() {
    std::list<Worker> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            auto next = std::next(it);
            if (it->done) finished.splice(finished.end(), m_workers, it);
            it = next;
        }
    }
    for (Worker& worker : finished) worker.thread.join();
}

std::shared_ptr<const Reply> StandInService::replyFor(const RecordedRequest& request) const {
    std::lock_guard lock(m_mutex);
    for (const Rule& rule : m_rules) {
        if (request.target.find(rule.substring) != std::string::npos) return rule.reply;
    }
    if (isFavicon(request.target)) return std::make_shared<const Reply>(Reply::notFound());
    return m_defaultReply;
}

void StandInService::record(RecordedRequest request) {
    std::lock_guard lock(m_mutex);
    m_requests.push_back(std::move(request));
    m_recorded.notify_all();
}

void StandInService::serve(int socket) {
    // Closes gracefully: unread input at close() would make the kernel send a reset, which can
    // destroy a reply still on its way to the client.
    struct Closer {
        int fd;
        int wakeFd;
        ~Closer() {
            ::shutdown(fd, SHUT_WR);
            const auto deadline = std::chrono::steady_clock::now() + kLingerLimit;
            for (;;) {
                char scratch[65536];
                const ssize_t n = ::recv(fd, scratch, sizeof scratch, 0);
                if (n > 0 || (n < 0 && errno == EINTR)) continue;
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) break;
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now());
                if (left.count() <= 0) break;
                if (waitFor(fd, POLLIN, wakeFd, static_cast<int>(left.count())) != Ready::Yes)
                    break;
            }
            ::close(fd);
        }
    } closer{socket, m_wakeFd};

    auto refuse = [&](int status, bool keepAlive) {
        const Reply reply =
            Reply::html(smallPage(reasonPhrase(status), reasonPhrase(status)), status);
        return sendAll(socket, responseHead(reply, reply.body.size(), keepAlive) + reply.body,
                       m_wakeFd);
    };

    std::string buffer;  // received and not yet consumed
    for (;;) {
        std::size_t headEnd = std::string::npos;
        std::size_t scanFrom = 0;
        for (;;) {
            headEnd = buffer.find("\r\n\r\n", scanFrom);
            if (headEnd != std::string::npos) break;
            if (buffer.size() > kMaxHead) {
                refuse(431, false);
                return;
            }
            scanFrom = buffer.size() < 3 ? 0 : buffer.size() - 3;
            if (!receiveMore(socket, buffer, m_wakeFd)) return;
        }

        RecordedRequest request;
        const std::string_view head(buffer.data(), headEnd);
        const auto lineEnd = std::min(head.find("\r\n"), head.size());
        const std::string_view line = head.substr(0, lineEnd);
        const auto firstSpace = line.find(' ');
        const auto lastSpace = line.rfind(' ');
        if (firstSpace == std::string_view::npos || firstSpace == lastSpace) {
            refuse(400, false);
            return;
        }
        request.method = line.substr(0, firstSpace);
        request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
        request.version = line.substr(lastSpace + 1);
        for (std::size_t at = lineEnd + 2; at < head.size();) {
            const auto end = std::min(head.find("\r\n", at), head.size());
            const std::string_view field = head.substr(at, end - at);
            const auto colon = field.find(':');
            if (colon != std::string_view::npos) {
                request.headers.emplace_back(field.substr(0, colon), trim(field.substr(colon + 1)));
            }
            at = end + 2;
        }
        buffer.erase(0, headEnd + 4);

        bool keepAlive = request.version == "HTTP/1.1";
        for (const char* name : {"Connection", "Proxy-Connection"}) {
            const auto value = request.header(name);
            if (value && containsIgnoringCase(*value, "close")) keepAlive = false;
        }
        // A chunked body has no length up front; answer, then close instead of parsing it.
        if (request.header("Transfer-Encoding")) keepAlive = false;
        std::size_t bodyLength = 0;
        if (const auto value = request.header("Content-Length")) {
            const auto [end, error] =
                std::from_chars(value->data(), value->data() + value->size(), bodyLength);
            if (error != std::errc() || end != value->data() + value->size() ||
                bodyLength > kMaxBody) {
                refuse(400, false);
                return;
            }
        }
        while (buffer.size() < bodyLength) {
            if (!receiveMore(socket, buffer, m_wakeFd)) return;
        }
        request.body = buffer.substr(0, bodyLength);
        buffer.erase(0, bodyLength);

        const bool isConnect = equalsIgnoringCase(request.method, "CONNECT");
        const bool isHead = equalsIgnoringCase(request.method, "HEAD");
        const std::shared_ptr<const Reply> reply = isConnect ? nullptr : replyFor(request);
        record(std::move(request));

        if (isConnect) {
            refuse(403, false);
            return;
        }
        if (reply->neverAnswer) {
            // Hold the connection, discarding anything more the client sends, until it leaves or
            // shutdown begins.
            std::string discard;
            while (receiveMore(socket, discard, m_wakeFd)) discard.clear();
            return;
        }
        if (reply->delay.count() > 0) {
            const auto ms = static_cast<int>(
                std::min<std::chrono::milliseconds::rep>(reply->delay.count(), 1'000'000'000));
            if (waitFor(-1, 0, m_wakeFd, ms) == Ready::Stop) return;
        }
        if (!sendAll(socket, responseHead(*reply, reply->body.size(), keepAlive), m_wakeFd)) return;
        if (!isHead && !sendAll(socket, reply->body, m_wakeFd)) return;
        if (!keepAlive) return;
    }
}

}  // namespace testsupport
