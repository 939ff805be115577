// The program's window, as a web host on the loopback address: it serves the
// documents to the user's browser over HTTP and carries the documents'
// script calls and the workers' notifications over a WebSocket, as JSON.
//
// Because the program reads raw disks as root, every request is hostile until
// shown otherwise: the host listens on a loopback address only; every path
// begins with a secret of 256 bits made for this run (/s/TOKEN/...; anything
// else is 404); the Host header must name the loopback (421 otherwise), which
// defeats DNS rebinding; the WebSocket upgrade must come from the page's own
// origin (403 otherwise, also with no Origin); HTTP serves GET and HEAD of
// static bytes only, every call goes over the WebSocket; messages, headers
// and connections are capped; no cookies are set; and every response, errors
// included, forbids framing, referrers, sniffing, caching and any source but
// the host itself.
//
// All of it runs on the thread that calls Run (the UI thread): calls reach
// the handler there, one at a time, in the order they came.
#pragma once

#include "bridge/UiChannel.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace host {

struct WebHostSettings {
    std::string address = "127.0.0.1";  // a loopback address; any other is refused
    std::uint16_t port = 0;             // 0: any free port
    std::size_t maxMessageBytes = 16u << 20;
    std::size_t maxConnections = 32;
    std::size_t maxQueuedBytes = 256u << 20;  // waiting for one document; more and it is dropped
};

// Whether `url` is an address of the form this host gives out for its start
// document, exactly: http://127.0.0.1:PORT/s/<64 lower-case hex>/app/index.html
// (a file that a second instance reads it from is checked with this).
bool IsUiAddress(std::string_view url);

class WebHostHandler {
public:
    virtual ~WebHostHandler() = default;
    // A script call of document `document`; false when it is not handled.
    virtual bool Call(bridge::DocumentId document, const std::string& name, const bridge::Values& args,
                      bridge::Value& result) = 0;
    // What GET /s/TOKEN/`path` serves ("app/index.html", "res/logo.png"): the
    // bytes (alive as long as the host) and their type; false for 404.
    virtual bool Serve(std::string_view path, std::string_view& body, std::string& contentType) = 0;
    // A document connected or went away; `connected` documents remain.
    virtual void DocumentsChanged(std::size_t connected) = 0;
    // Document `document` went away (before DocumentsChanged tells the count).
    virtual void DocumentLeft(bridge::DocumentId) {}
    // SIGINT or SIGTERM arrived (once; the next one takes the default action).
    virtual void Signalled(int signal) = 0;
};

class WebHost {
public:
    explicit WebHost(WebHostHandler& handler);
    ~WebHost();
    WebHost(const WebHost&) = delete;
    WebHost& operator=(const WebHost&) = delete;

    // Opens the listening socket and makes the run's secret. False, with the
    // reason, when the address is not a loopback one or cannot be had.
    bool Listen(const WebHostSettings& settings, std::string& error);
    std::uint16_t Port() const;
    const std::string& Token() const;
    // "http://127.0.0.1:PORT/s/TOKEN/" + path
    std::string Url(std::string_view path) const;

    // Serves until Stop. Catches SIGINT and SIGTERM meanwhile.
    void Run();
    // Any thread.
    void Stop();
    // Tells every connected document: queued, never waited for; nothing
    // happens when none is connected. Any thread.
    void Notify(const std::string& name, const bridge::Values& args);
    // Tells one document; nothing happens when it has gone. Any thread.
    void NotifyDocument(bridge::DocumentId document, const std::string& name, const bridge::Values& args);
    // The bytes queued for `document` and not yet written to it;
    // bridge::UiChannel::kGone when it is not connected. Any thread.
    std::size_t Backlog(bridge::DocumentId document) const;
    // Runs `task` on the host's thread, after `delay`. Any thread.
    void After(std::chrono::milliseconds delay, std::function<void()> task);
    std::size_t Documents() const;

    class Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

}  // namespace host
