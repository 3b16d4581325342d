// Copyright 2026 The Talvimer Authors
// SPDX-License-Identifier: MIT

// A loopback stand-in for the remote web service. Chromium is pointed at it as its HTTP proxy,
// so every request line carries the absolute URL the browser asked for, and the stand-in keeps
// those bytes exactly as they arrived (no decoding, no normalisation):
//
//   StandInService service;
//   service.setReply("sbcxListTJ.jsp", Reply::serverError());
//   // start the program with QTWEBENGINE_CHROMIUM_FLAGS=service.chromiumFlags()
//   auto list = service.waitForRequest("sbcxListLB.jsp", 30s);
//   // list->target == "http://tmsearch.example.com/quorlis/...&k=%61%62%63&l=2&b="
//
// It listens on 127.0.0.1 only, serves each connection on a thread of its own (keep-alive
// included), and its destructor closes every connection, unanswered ones too, and joins every
// thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

struct RecordedRequest {
    std::string method;   // "GET", "CONNECT"
    std::string target;   // the bytes between the request line's two spaces, as received
    std::string version;  // "HTTP/1.1"
    std::vector<std::pair<std::string, std::string>> headers;  // in order; names as sent
    std::string body;                                          // Content-Length bytes, if any

    // The first header of that name, compared without case: header("host") -> "tmsearch...".
    std::optional<std::string> header(std::string_view name) const;
};

// What the stand-in answers.
struct Reply {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::string body;
    // Waits this long before answering; shutdown cuts the wait short and closes unanswered.
    std::chrono::milliseconds delay{0};
    // Never answers: the connection stays open until the client leaves or shutdown.
    bool neverAnswer = false;

    static Reply page(std::string_view title = "Stand-in page");  // 200, a small HTML page
    static Reply serverError();                                   // 500, a small HTML page
    static Reply notFound();                                      // 404
    static Reply slow(std::chrono::milliseconds delay, Reply reply = page());
    static Reply big(std::size_t bytes = 10 * 1024 * 1024);  // 200, HTML of exactly `bytes`
    static Reply hang();
    static Reply endlessScript();  // 200, a page whose script runs for ever: for(;;){}
    static Reply html(std::string body, int status = 200);
};

class StandInService {
public:
    // Listens on 127.0.0.1 at a port the system picks. Throws std::system_error on failure.
    StandInService();
    ~StandInService();  // stop()

    StandInService(const StandInService&) = delete;
    StandInService& operator=(const StandInService&) = delete;

    std::uint16_t port() const { return m_port; }
    std::string proxyUrl() const;  // "http://127.0.0.1:41234"
    // "--proxy-server=http://127.0.0.1:41234 --proxy-bypass-list=<-loopback>", the value for
    // QTWEBENGINE_CHROMIUM_FLAGS.
    std::string chromiumFlags() const;

    // Replies are chosen per request: the first rule, in the order set, whose substring occurs in
    // the target; else 404 for a .../favicon.ico; else the default reply (at first Reply::page()).
    // CONNECT is always refused with 403, since there is no TLS here. Setting a rule for a
    // substring that already has one replaces its reply and keeps its place.
    void setReply(std::string targetSubstring, Reply reply);
    void setDefaultReply(Reply reply);
    void clearReplies();  // drops the rules; the default reply becomes Reply::page() again

    // Every request received so far (since the last clear()), in order of arrival.
    std::vector<RecordedRequest> requests() const;
    void clear();

    // The first recorded request that matches, waiting for one up to `timeout`. `match` runs
    // with the service's lock held, so it must not call the service.
    std::optional<RecordedRequest> waitForRequest(
        const std::function<bool(const RecordedRequest&)>& match,
        std::chrono::milliseconds timeout) const;
    // The same for the first request whose target contains `targetSubstring`.
    std::optional<RecordedRequest> waitForRequest(std::string_view targetSubstring,
                                                  std::chrono::milliseconds timeout) const;

    // Stops listening, cuts every wait short, closes every connection and joins every thread.
    // Safe to call again.
    void stop();

private:
    struct Rule {
        std::string substring;
        std::shared_ptr<const Reply> reply;
    };
    struct Worker {
        std::thread thread;
        bool done = false;
    };

    void acceptLoop();
    void serve(int socket);
    std::shared_ptr<const Reply> replyFor(const RecordedRequest& request) const;
    void record(RecordedRequest request);
    void reapFinishedWorkers();

    int m_listenFd = -1;
    int m_wakeFd = -1;  // readable once stopping: every poll of every thread watches it
    std::uint16_t m_port = 0;
    std::thread m_acceptor;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_recorded;
    std::vector<RecordedRequest> m_requests;
    std::vector<Rule> m_rules;
    std::shared_ptr<const Reply> m_defaultReply;
    std::list<Worker> m_workers;
    bool m_stopped = false;
};

}  // namespace testsupport
