// The one translation unit that includes Boost.Beast: its compile cost is paid
// here alone.
#include "host/WebHost.h"

#include "base/Log.h"
#include "host/Wire.h"
#include "platform/Process.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <csignal>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <unordered_map>

namespace host {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

constexpr auto kRequestTimeout = std::chrono::seconds(30);
constexpr std::uint32_t kHeaderLimit = 16 * 1024;
constexpr std::size_t kTokenBytes = 32;

constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data: blob:; font-src 'self'; "
    "connect-src 'self'; manifest-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

template <class Fields>
void AddSafetyHeaders(Fields& fields)
{
    fields.set("Content-Security-Policy", kContentSecurityPolicy);
    fields.set("Referrer-Policy", "no-referrer");
    fields.set("X-Content-Type-Options", "nosniff");
    fields.set(http::field::cache_control, "no-store");
    fields.set("Cross-Origin-Opener-Policy", "same-origin");
    fields.set("Cross-Origin-Resource-Policy", "same-origin");
    fields.set(http::field::server, "Quenlar");
}

bool SameConstantTime(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

bool IsPort(std::string_view text)
{
    // ":" and one to five digits.
    if (text.size() < 2 || text.size() > 6 || text[0] != ':')
        return false;
    for (const char c : text.substr(1)) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// Whether a Host header names the loopback: 127.0.0.1, localhost or [::1],
// with or without a port.
bool IsLoopbackHost(std::string_view host)
{
    std::string_view name = host;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string_view::npos)
            return false;
        const std::string_view rest = name.substr(close + 1);
        if (!rest.empty() && !IsPort(rest))
            return false;
        name = name.substr(0, close + 1);
    } else if (const std::size_t colon = name.find(':'); colon != std::string_view::npos) {
        if (!IsPort(name.substr(colon)))
            return false;
        name = name.substr(0, colon);
    }
    std::string lower(name);
    for (char& c : lower)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower == "127.0.0.1" || lower == "localhost" || lower == "[::1]";
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// %XX escapes undone; false for a broken escape or a zero byte.
bool Unescape(std::string_view text, std::string& out)
{
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            const int high = HexDigit(text[i + 1]);
            const int low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            c = static_cast<char>(high * 16 + low);
            i += 2;
        }
        if (c == '\0')
            return false;
        out += c;
    }
    return true;
}

// Counts a connection for as long as it lives.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::atomic<std::size_t>& count) : m_count(&count) { ++*m_count; }
    ConnectionSlot(ConnectionSlot&& other) noexcept : m_count(std::exchange(other.m_count, nullptr)) {}
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot()
    {
        if (m_count != nullptr)
            --*m_count;
    }

private:
    std::atomic<std::size_t>* m_count;
};

class DocumentSession;

}  // namespace

class WebHost::Impl {
public:
    explicit Impl(WebHostHandler& h) : handler(h), ioc(1), acceptor(ioc), signals(ioc) {}

    void Accept();
    void Joined(const std::shared_ptr<DocumentSession>& document);
    void Left(const std::shared_ptr<DocumentSession>& document);
    void Broadcast(const std::shared_ptr<const std::string>& text);
    std::string Handle(bridge::DocumentId document, const std::string& text);

    // Each document's bytes queued and not yet written, readable from any
    // thread; a document that is not here has gone.
    std::shared_ptr<std::atomic<std::size_t>> BacklogOf(bridge::DocumentId document) const
    {
        std::lock_guard<std::mutex> lock(backlogLock);
        const auto it = backlogs.find(document);
        return it == backlogs.end() ? nullptr : it->second;
    }
    mutable std::mutex backlogLock;
    std::unordered_map<bridge::DocumentId, std::shared_ptr<std::atomic<std::size_t>>> backlogs;
    bridge::DocumentId lastDocument = 0;  // the host thread's alone

    WebHostHandler& handler;
    net::io_context ioc;
    tcp::acceptor acceptor;
    net::signal_set signals;
    WebHostSettings settings;
    std::string token;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    std::atomic<std::size_t> connections {0};
    std::atomic<std::size_t> documentCount {0};
    std::set<std::shared_ptr<DocumentSession>> documents;  // the host thread's alone
    bool stopping = false;
};

namespace {

// One document's WebSocket: calls in, answers and notifications out, in the
// order they were queued.
class DocumentSession : public std::enable_shared_from_this<DocumentSession> {
public:
    DocumentSession(beast::tcp_stream&& stream, WebHost::Impl& host, ConnectionSlot slot)
        : m_ws(std::move(stream)), m_host(host), m_slot(std::move(slot)), m_id(++host.lastDocument),
          m_backlog(std::make_shared<std::atomic<std::size_t>>(0))
    {
    }

    bridge::DocumentId Id() const { return m_id; }
    const std::shared_ptr<std::atomic<std::size_t>>& BacklogCounter() const { return m_backlog; }

    void Accept(http::request<http::empty_body> request)
    {
        beast::get_lowest_layer(m_ws).expires_never();
        websocket::stream_base::timeout timeout {};
        timeout.handshake_timeout = kRequestTimeout;
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        m_ws.set_option(timeout);
        m_ws.set_option(
            websocket::stream_base::decorator([](websocket::response_type& response) { AddSafetyHeaders(response); }));
        m_ws.read_message_max(m_host.settings.maxMessageBytes);
        m_ws.text(true);
        m_ws.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
            if (ec)
                return;
            self->m_host.Joined(self);
            self->Read();
        });
    }

    // Queues `text`; `counted` when its bytes were already added to the
    // document's backlog by the thread that sent it.
    void Send(const std::shared_ptr<const std::string>& text, bool counted = false)
    {
        if (m_closed)
            return;
        if (!counted)
            *m_backlog += text->size();
        m_queuedBytes += text->size();
        if (m_queuedBytes > m_host.settings.maxQueuedBytes) {
            // The document has stopped reading: it is dropped rather than
            // let it hold the program's memory.
            base::LogLess("A document stopped reading; its connection is closed");
            Close();
            return;
        }
        m_queue.push_back(text);
        if (m_queue.size() == 1)
            Write();
    }

    // The connection is over: no more sending, and the host forgets it.
    void Ended()
    {
        if (m_closed)
            return;
        m_closed = true;
        m_queue.clear();
        m_host.Left(shared_from_this());
    }

    // Ends the connection at once, whatever is still queued.
    void Close()
    {
        if (m_closed)
            return;
        m_closed = true;
        m_queue.clear();
        beast::error_code ignored;
        beast::get_lowest_layer(m_ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(m_ws).close();
        m_host.Left(shared_from_this());
    }

private:
    void Read()
    {
        m_ws.async_read(m_buffer, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                // The stream has closed itself, sending the close frame that
                // says why (too big, not WebSocket) where it could.
                self->Ended();
                return;
            }
            std::string text = beast::buffers_to_string(self->m_buffer.data());
            self->m_buffer.consume(self->m_buffer.size());
            if (!self->m_ws.got_text())
                self->Send(std::make_shared<const std::string>(RefusalText("null", "binary messages are not read")));
            else
                self->Send(std::make_shared<const std::string>(self->m_host.Handle(self->m_id, text)));
            if (!self->m_closed)
                self->Read();
        });
    }

    void Write()
    {
        m_ws.async_write(net::buffer(*m_queue.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                self->Close();
                return;
            }
            if (self->m_queue.empty())
                return;
            self->m_queuedBytes -= self->m_queue.front()->size();
            *self->m_backlog -= self->m_queue.front()->size();
            self->m_queue.pop_front();
            if (!self->m_queue.empty())
                self->Write();
        });
    }

    websocket::stream<beast::tcp_stream> m_ws;
    WebHost::Impl& m_host;
    ConnectionSlot m_slot;
    beast::flat_buffer m_buffer;
    std::deque<std::shared_ptr<const std::string>> m_queue;
    std::size_t m_queuedBytes = 0;
    bool m_closed = false;
    const bridge::DocumentId m_id;
    const std::shared_ptr<std::atomic<std::size_t>> m_backlog;
};

// One HTTP connection: static documents, or the upgrade to a document's
// WebSocket.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket&& socket, WebHost::Impl& host, ConnectionSlot slot)
        : m_stream(std::move(socket)), m_host(host), m_slot(std::move(slot))
    {
    }

    void Read()
    {
        m_parser.emplace();
        m_parser->header_limit(kHeaderLimit);
        m_parser->eager(true);
        m_stream.expires_after(kRequestTimeout);
        http::async_read(m_stream, m_buffer, *m_parser,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnRequest(ec); });
    }

private:
    void OnRequest(beast::error_code ec)
    {
        if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::operation_aborted ||
            ec == net::error::connection_reset || ec == net::error::eof) {
            Shut();
            return;
        }
        if (ec) {
            Reply(http::status::bad_request, "bad request\n", false);
            return;
        }
        const auto& request = m_parser->get();
        const std::string_view hostHeader = request[http::field::host];
        if (!IsLoopbackHost(hostHeader)) {
            Reply(http::status::misdirected_request, "this host serves its own machine only\n", false);
            return;
        }
        std::string_view target = request.target();
        target = target.substr(0, target.find_first_of("?#"));
        const std::string_view prefix = "/s/";
        const std::size_t tokenEnd = prefix.size() + m_host.token.size();
        if (target.size() <= tokenEnd || target.substr(0, prefix.size()) != prefix || target[tokenEnd] != '/' ||
            !SameConstantTime(target.substr(prefix.size(), m_host.token.size()), m_host.token)) {
            Reply(http::status::not_found, "not found\n", true);
            return;
        }
        const std::string_view rest = target.substr(tokenEnd + 1);
        if (rest == "ws") {
            Upgrade(hostHeader);
            return;
        }
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            Reply(http::status::method_not_allowed, "only GET and HEAD\n", true);
            return;
        }
        std::string path;
        std::string_view body;
        std::string type;
        if (!Unescape(rest, path) || !m_host.handler.Serve(path, body, type)) {
            Reply(http::status::not_found, "not found\n", true);
            return;
        }
        Reply(http::status::ok, body, true, type);
    }

    void Upgrade(std::string_view hostHeader)
    {
        const auto& request = m_parser->get();
        if (!websocket::is_upgrade(request)) {
            Reply(http::status::bad_request, "a WebSocket is expected here\n", false);
            return;
        }
        // Only a page of this host may open it: the browser says whose page
        // asks in Origin, and a page elsewhere (or none) cannot fake it.
        const std::string_view origin = request[http::field::origin];
        if (origin.empty() || origin != "http://" + std::string(hostHeader)) {
            Reply(http::status::forbidden, "this page may not call the program\n", false);
            return;
        }
        m_stream.expires_never();
        auto document = std::make_shared<DocumentSession>(std::move(m_stream), m_host, std::move(m_slot));
        document->Accept(m_parser->release());
    }

    void Reply(http::status status, std::string_view body, bool keepAlive, const std::string& type = "text/plain; charset=utf-8")
    {
        const auto& request = m_parser->get();
        m_response = {};
        m_response.version(request.version() != 0 ? request.version() : 11);
        m_response.result(status);
        AddSafetyHeaders(m_response);
        m_response.set(http::field::content_type, type);
        if (status == http::status::method_not_allowed)
            m_response.set(http::field::allow, "GET, HEAD");
        m_response.keep_alive(keepAlive && request.keep_alive());
        if (request.method() == http::verb::head) {
            m_response.content_length(body.size());
        } else {
            m_response.body().assign(body.data(), body.size());
            m_response.prepare_payload();
        }
        http::async_write(m_stream, m_response, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec || !self->m_response.keep_alive()) {
                self->Shut();
                return;
            }
            self->Read();
        });
    }

    void Shut()
    {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    }

    beast::tcp_stream m_stream;
    WebHost::Impl& m_host;
    ConnectionSlot m_slot;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::empty_body>> m_parser;
    http::response<http::string_body> m_response;
};

}  // namespace

void WebHost::Impl::Accept()
{
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            if (!stopping && ec != net::error::operation_aborted)
                Accept();
            return;
        }
        if (connections.load() >= settings.maxConnections) {
            beast::error_code ignored;
            socket.close(ignored);
        } else {
            beast::error_code ignored;
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<HttpSession>(std::move(socket), *this, ConnectionSlot(connections))->Read();
        }
        Accept();
    });
}

void WebHost::Impl::Joined(const std::shared_ptr<DocumentSession>& document)
{
    {
        std::lock_guard<std::mutex> lock(backlogLock);
        backlogs[document->Id()] = document->BacklogCounter();
    }
    documents.insert(document);
    documentCount = documents.size();
    handler.DocumentsChanged(documents.size());
}

void WebHost::Impl::Left(const std::shared_ptr<DocumentSession>& document)
{
    if (documents.erase(document) == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(backlogLock);
        backlogs.erase(document->Id());
    }
    documentCount = documents.size();
    if (!stopping) {
        handler.DocumentLeft(document->Id());
        handler.DocumentsChanged(documents.size());
    }
}

void WebHost::Impl::Broadcast(const std::shared_ptr<const std::string>& text)
{
    // Sending may drop a document, which leaves the set.
    const std::vector<std::shared_ptr<DocumentSession>> all(documents.begin(), documents.end());
    for (const auto& document : all)
        document->Send(text);
}

std::string WebHost::Impl::Handle(bridge::DocumentId document, const std::string& text)
{
    CallMessage call;
    std::string error;
    if (!ParseCall(text, call, error))
        return RefusalText(call.id, error);
    bridge::Value result;
    const bool handled = handler.Call(document, call.name, call.args, result);
    return AnswerText(call.id, handled, result);
}

bool IsUiAddress(std::string_view url)
{
    constexpr std::string_view head = "http://127.0.0.1:";
    constexpr std::string_view tail = "/app/index.html";
    if (url.substr(0, head.size()) != head)
        return false;
    url.remove_prefix(head.size());
    std::size_t digits = 0;
    std::uint32_t port = 0;
    while (digits < url.size() && digits < 6 && url[digits] >= '0' && url[digits] <= '9')
        port = port * 10 + static_cast<std::uint32_t>(url[digits++] - '0');
    if (digits == 0 || digits > 5 || url[0] == '0' || port > 65535)
        return false;
    url.remove_prefix(digits);
    if (url.substr(0, 3) != "/s/" || url.size() != 3 + 2 * kTokenBytes + tail.size())
        return false;
    for (const char c : url.substr(3, 2 * kTokenBytes)) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return url.substr(3 + 2 * kTokenBytes) == tail;
}

WebHost::WebHost(WebHostHandler& handler) : m_impl(std::make_unique<Impl>(handler)) {}

WebHost::~WebHost() = default;

bool WebHost::Listen(const WebHostSettings& settings, std::string& error)
{
    Impl& impl = *m_impl;
    impl.settings = settings;
    beast::error_code ec;
    const net::ip::address address = net::ip::make_address(settings.address, ec);
    if (ec) {
        error = "'" + settings.address + "' is no IP address";
        return false;
    }
    if (!address.is_loopback()) {
        error = "the UI is served on a loopback address only, not on " + settings.address;
        return false;
    }
    unsigned char secret[kTokenBytes];
    if (!platform::RandomBytes(secret, sizeof secret)) {
        error = "the system gives no random bytes for the run's secret";
        return false;
    }
    impl.token.clear();
    for (const unsigned char b : secret) {
        impl.token += "0123456789abcdef"[b >> 4];
        impl.token += "0123456789abcdef"[b & 15];
    }
    const tcp::endpoint endpoint(address, settings.port);
    impl.acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        impl.acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        impl.acceptor.bind(endpoint, ec);
    if (!ec)
        impl.acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + settings.address + " port " + std::to_string(settings.port) + ": " + ec.message();
        return false;
    }
    impl.port = impl.acceptor.local_endpoint().port();
    impl.address = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    // Caught from here on, before anyone learns the address: a SIGTERM that
    // comes before Run is held and handled there, not the default ending.
    impl.signals.add(SIGINT, ec);
    impl.signals.add(SIGTERM, ec);
    return true;
}

std::uint16_t WebHost::Port() const
{
    return m_impl->port;
}

const std::string& WebHost::Token() const
{
    return m_impl->token;
}

std::string WebHost::Url(std::string_view path) const
{
    return "http://" + m_impl->address + ":" + std::to_string(m_impl->port) + "/s/" + m_impl->token + "/" +
           std::string(path);
}

void WebHost::Run()
{
    Impl& impl = *m_impl;
    impl.Accept();
    impl.signals.async_wait([&impl](beast::error_code error, int signal) {
        if (error)
            return;
        // The next one takes the default action: a second Ctrl-C ends the
        // program at once.
        beast::error_code ignored;
        impl.signals.clear(ignored);
        impl.handler.Signalled(signal);
    });
    impl.ioc.run();
}

void WebHost::Stop()
{
    Impl& impl = *m_impl;
    net::post(impl.ioc, [&impl] {
        impl.stopping = true;
        beast::error_code ignored;
        impl.acceptor.close(ignored);
        impl.signals.cancel(ignored);
        const std::vector<std::shared_ptr<DocumentSession>> all(impl.documents.begin(), impl.documents.end());
        for (const auto& document : all)
            document->Close();
        impl.ioc.stop();
    });
}

void WebHost::Notify(const std::string& name, const bridge::Values& args)
{
    if (m_impl->documentCount.load() == 0)
        return;
    auto text = std::make_shared<const std::string>(NotificationText(name, args));
    net::post(m_impl->ioc, [impl = m_impl.get(), text] { impl->Broadcast(text); });
}

void WebHost::NotifyDocument(bridge::DocumentId document, const std::string& name, const bridge::Values& args)
{
    const std::shared_ptr<std::atomic<std::size_t>> backlog = m_impl->BacklogOf(document);
    if (!backlog)
        return;
    auto text = std::make_shared<const std::string>(NotificationText(name, args));
    // Counted now, so that a worker that sends many sees its own backlog
    // before the host thread has queued them.
    *backlog += text->size();
    net::post(m_impl->ioc, [impl = m_impl.get(), document, text, backlog] {
        for (const auto& session : impl->documents) {
            if (session->Id() == document) {
                session->Send(text, true);
                return;
            }
        }
        *backlog -= text->size();
    });
}

std::size_t WebHost::Backlog(bridge::DocumentId document) const
{
    const std::shared_ptr<std::atomic<std::size_t>> backlog = m_impl->BacklogOf(document);
    return backlog ? backlog->load() : bridge::UiChannel::kGone;
}

void WebHost::After(std::chrono::milliseconds delay, std::function<void()> task)
{
    net::post(m_impl->ioc, [impl = m_impl.get(), delay, task = std::move(task)]() mutable {
        auto timer = std::make_shared<net::steady_timer>(impl->ioc, delay);
        timer->async_wait([timer, task = std::move(task)](beast::error_code ec) {
            if (!ec)
                task();
        });
    });
}

std::size_t WebHost::Documents() const
{
    return m_impl->documentCount.load();
}

}  // namespace host
