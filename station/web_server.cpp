#include "station/web_server.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include "platform/listen_socket.hpp"
#include "station/csv_reader.hpp"
#include "station/run_files.hpp"
#include "station/web_escape.hpp"
#include "station/web_json.hpp"
#include "station/web_page.hpp"

namespace station {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;
using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

constexpr size_t kPageRecords = 50;
constexpr uint64_t kMostRecords = 1000;  // per /api/records answer
constexpr uintmax_t kLargestRunFile = 16u << 20;
constexpr auto kRequestTime = std::chrono::seconds(30);

// Every answer says what it is and that it is to be taken as that: a log file is never read as
// a page, and the page runs only its own script.
Response Answer(const Request& request, http::status status, const std::string& type,
                std::string body) {
  Response response(status, request.version());
  response.set(http::field::server, "linestation");
  response.set(http::field::content_type, type);
  response.set(http::field::cache_control, "no-store");
  response.set("X-Content-Type-Options", "nosniff");
  response.set("Content-Security-Policy",
               "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
               "connect-src 'self'; img-src data:");
  response.keep_alive(request.keep_alive());
  response.body() = std::move(body);
  response.prepare_payload();
  if (request.method() == http::verb::head) response.body().clear();
  return response;
}

Response Plain(const Request& request, http::status status, const std::string& text) {
  return Answer(request, status, "text/plain; charset=utf-8", text + "\n");
}

// A query parameter's whole number; `fallback` when absent, false when not a number.
bool QueryNumber(const std::string& query, const std::string& name, uint64_t fallback,
                 uint64_t* value) {
  *value = fallback;
  size_t begin = 0;
  while (begin < query.size()) {
    size_t end = query.find('&', begin);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(begin, end - begin);
    begin = end + 1;
    if (pair.compare(0, name.size() + 1, name + "=") != 0) continue;
    const std::string digits = pair.substr(name.size() + 1);
    if (digits.empty() || digits.size() > 18 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      return false;
    *value = std::stoull(digits);
  }
  return true;
}

std::string FileText(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The usual reasons in words of their own: a system's message for them may be a bare number.
std::string WhyNotBound(const boost::system::error_code& error) {
  if (error == asio::error::address_in_use) return "the port is in use";
  if (error == asio::error::access_denied) return "this user may not use the port";
  return error.message();
}

// One event of the stream; its data fits one line, as JSON text holds no line end.
std::shared_ptr<const std::string> Event(const std::string& name, const std::string& data) {
  return std::make_shared<const std::string>("event: " + name + "\ndata: " + data + "\n\n");
}

// One client of /api/events, on the server's thread alone. Its events wait in a bounded queue;
// when the client lets it fill, it is dropped rather than waited for.
class EventClient : public std::enable_shared_from_this<EventClient> {
 public:
  EventClient(tcp::socket socket, size_t most_queued, std::function<void(EventClient*)> gone)
      : socket_(std::move(socket)), most_queued_(most_queued), gone_(std::move(gone)) {}

  void Begin(const std::vector<std::shared_ptr<const std::string>>& first) {
    queue_.push_back(std::make_shared<const std::string>(
        "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
        "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n"));
    for (const auto& event : first) queue_.push_back(event);
    WriteNext();
    WatchForClose();
  }

  void Push(const std::shared_ptr<const std::string>& event) {
    if (closed_) return;
    if (queue_.size() >= most_queued_) {
      Close();
      return;
    }
    queue_.push_back(event);
    if (!writing_) WriteNext();
  }

  // The events queued still go out; then the stream ends.
  void CloseWhenSent() {
    closing_ = true;
    if (!writing_) Close();
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    gone_(this);
  }

 private:
  void WriteNext() {
    writing_ = true;
    auto self = shared_from_this();
    asio::async_write(socket_, asio::buffer(*queue_.front()),
                      [self](const boost::system::error_code& error, size_t) {
                        self->queue_.pop_front();
                        if (error || self->closed_) {
                          self->Close();
                        } else if (self->queue_.empty()) {
                          self->writing_ = false;
                          if (self->closing_) self->Close();
                        } else {
                          self->WriteNext();
                        }
                      });
  }

  // A client sends nothing after its request; a read ends when it goes away.
  void WatchForClose() {
    auto self = shared_from_this();
    socket_.async_read_some(asio::buffer(sink_),
                            [self](const boost::system::error_code& error, size_t) {
                              if (error || self->closed_) {
                                self->Close();
                              } else {
                                self->WatchForClose();
                              }
                            });
  }

  tcp::socket socket_;
  const size_t most_queued_;
  std::function<void(EventClient*)> gone_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  bool writing_ = false;
  bool closing_ = false;
  bool closed_ = false;
  char sink_[256];
};

}  // namespace

struct WebServer::State {
  explicit State(Setup setup_in) : setup(std::move(setup_in)) {}

  // Runs on the server's thread: takes what the station handed over and tells the clients
  // what changed.
  void Publish();
  // From any thread: one Publish waits on the server's thread for what was handed over.
  void PostPublish() {
    if (!publish_posted.exchange(true)) asio::post(io, [this] { Publish(); });
  }
  void Broadcast(const std::shared_ptr<const std::string>& event);
  void Accept();
  void Serve(std::shared_ptr<beast::tcp_stream> stream, std::shared_ptr<beast::flat_buffer> buffer);
  void Handle(std::shared_ptr<beast::tcp_stream> stream, std::shared_ptr<Request> request,
              std::shared_ptr<beast::flat_buffer> buffer);
  Response Route(const Request& request);
  Response Runs(const Request& request, const std::string& path);
  std::string InitialData();
  void Subscribe(tcp::socket socket);
  // The last of what the station handed over goes out to every client, which is then let go.
  void Drain();

  const Setup setup;
  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  std::string url;
  std::thread thread;

  // Filled by the station's hooks, emptied by Publish; handover_lock guards both, and is held
  // only to copy or swap them.
  std::mutex handover_lock;
  std::optional<StationView> handed_view;
  std::vector<Row> handed_rows;
  std::atomic<bool> publish_posted{false};

  // The server thread's own.
  StationView shown;
  std::vector<std::string> slot_texts;  // each slot as last sent
  std::vector<QuarterCount> quarters;
  uint64_t records = 0;  // in the CSV file, this station's and earlier ones
  std::map<EventClient*, std::shared_ptr<EventClient>> clients;
  bool draining = false, drained_told = false;
  std::promise<void> drained;  // set on the server's thread once draining left no client
  void TellIfDrained() {
    if (!draining || !clients.empty() || drained_told) return;
    drained_told = true;
    drained.set_value();
  }
};

void WebServer::State::Publish() {
  publish_posted = false;
  std::optional<StationView> view;
  std::vector<Row> rows;
  {
    std::lock_guard<std::mutex> hold(handover_lock);
    view.swap(handed_view);
    rows.swap(handed_rows);
  }
  if (view) {
    CountQuarters(shown, *view, &quarters);
    const bool totals_changed = view->done != shown.done || view->passed != shown.passed ||
                                view->failed != shown.failed || slot_texts.empty();
    slot_texts.resize(view->slots.size());
    for (size_t i = 0; i < view->slots.size(); ++i) {
      std::string text = SlotJson(view->slots[i]);
      if (text == slot_texts[i]) continue;
      slot_texts[i] = std::move(text);
      Broadcast(Event("slot", slot_texts[i]));
    }
    shown = std::move(*view);
    if (totals_changed) Broadcast(Event("totals", TotalsJson(shown, quarters)));
  }
  for (const Row& row : rows) {
    // Read back as the file holds it, so that an event and /api/records say the same.
    const std::vector<CsvFields> fields = ParseCsv(CsvLine(row) + "\n");
    ++records;
    Broadcast(Event("record", RecordJson(records, fields.empty() ? CsvFields() : fields[0])));
  }
}

void WebServer::State::Broadcast(const std::shared_ptr<const std::string>& event) {
  // A client dropped on the way leaves the map: go over a copy.
  std::vector<std::shared_ptr<EventClient>> all;
  for (const auto& entry : clients) all.push_back(entry.second);
  for (const auto& client : all) client->Push(event);
}

void WebServer::State::Accept() {
  acceptor.async_accept([this](const boost::system::error_code& error, tcp::socket socket) {
    if (!error) {
      Serve(std::make_shared<beast::tcp_stream>(std::move(socket)),
            std::make_shared<beast::flat_buffer>());
    }
    if (acceptor.is_open()) Accept();
  });
}

void WebServer::State::Serve(std::shared_ptr<beast::tcp_stream> stream,
                             std::shared_ptr<beast::flat_buffer> buffer) {
  auto request = std::make_shared<Request>();
  stream->expires_after(kRequestTime);
  http::async_read(*stream, *buffer, *request,
                   [this, stream, request, buffer](const boost::system::error_code& error, size_t) {
                     if (error) {
                       boost::system::error_code ignored;
                       stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
                       return;
                     }
                     Handle(stream, request, buffer);
                   });
}

void WebServer::State::Handle(std::shared_ptr<beast::tcp_stream> stream,
                              std::shared_ptr<Request> request,
                              std::shared_ptr<beast::flat_buffer> buffer) {
  const std::string target(request->target());
  if (request->method() == http::verb::get && target.substr(0, target.find('?')) == "/api/events") {
    stream->expires_never();
    Subscribe(stream->release_socket());
    return;
  }
  auto response = std::make_shared<Response>(Route(*request));
  http::async_write(
      *stream, *response,
      [this, stream, response, buffer](const boost::system::error_code& error, size_t) {
        if (!error && response->keep_alive()) {
          Serve(stream, buffer);
          return;
        }
        boost::system::error_code ignored;
        stream->socket().shutdown(tcp::socket::shutdown_send, ignored);
      });
}

Response WebServer::State::Route(const Request& request) {
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    Response response = Plain(request, http::status::method_not_allowed,
                              "the web view only shows; nothing here changes anything");
    response.set(http::field::allow, "GET, HEAD");
    return response;
  }
  const std::string target(request.target());
  const size_t mark = target.find('?');
  const std::string path = target.substr(0, mark);
  const std::string query = mark == std::string::npos ? "" : target.substr(mark + 1);
  if (path == "/") {
    return Answer(request, http::status::ok, "text/html; charset=utf-8", PageHtml(InitialData()));
  }
  if (path == "/api/slots")
    return Answer(request, http::status::ok, "application/json", SlotsJson(shown.slots));
  if (path == "/api/totals") {
    return Answer(request, http::status::ok, "application/json", TotalsJson(shown, quarters));
  }
  if (path == "/api/records") {
    uint64_t after = 0, limit = 0;
    if (!QueryNumber(query, "after", 0, &after) ||
        !QueryNumber(query, "limit", kMostRecords, &limit)) {
      return Plain(request, http::status::bad_request, "after and limit are whole numbers");
    }
    if (limit > kMostRecords) limit = kMostRecords;
    return Answer(request, http::status::ok, "application/json",
                  RecordsJson(ReadCsvRecords(setup.csv_file), after, limit));
  }
  if (path.compare(0, 6, "/runs/") == 0) return Runs(request, path.substr(6));
  return Plain(request, http::status::not_found, "not found");
}

Response WebServer::State::Runs(const Request& request, const std::string& path) {
  std::string found;
  std::error_code ec;
  if (!RunFileAt(setup.work_folder, path, &found))
    return Plain(request, http::status::not_found, "not found");
  if (fs::is_directory(found, ec)) {
    // Relative links resolve against the folder only when its path ends in a slash.
    if (!path.empty() && path.back() != '/') {
      Response response = Plain(request, http::status::moved_permanently, "a folder");
      response.set(http::field::location, "/runs/" + path + "/");
      return response;
    }
    std::vector<FolderEntry> entries;
    for (fs::directory_iterator it(found, ec), end; !ec && it != end; it.increment(ec)) {
      std::error_code kind;
      entries.push_back({it->path().filename().u8string(), it->is_directory(kind)});
    }
    return Answer(request, http::status::ok, "text/html; charset=utf-8",
                  FolderListingHtml("/runs/" + path, entries));
  }
  if (!fs::is_regular_file(found, ec) || fs::file_size(found, ec) > kLargestRunFile || ec)
    return Plain(request, http::status::not_found, "not found");
  return Answer(request, http::status::ok, "text/plain; charset=utf-8", FileText(found));
}

std::string WebServer::State::InitialData() {
  const std::vector<CsvFields> all = ReadCsvRecords(setup.csv_file);
  const uint64_t after = all.size() > kPageRecords ? all.size() - kPageRecords : 0;
  return "{\"slots\":" + SlotsJson(shown.slots) + ",\"totals\":" + TotalsJson(shown, quarters) +
         ",\"records\":" + RecordsJson(all, after, kPageRecords) +
         ",\"work\":" + JsonString(setup.work_folder) + "}";
}

void WebServer::State::Subscribe(tcp::socket socket) {
  auto client = std::make_shared<EventClient>(std::move(socket), setup.queued_events,
                                              [this](EventClient* gone) {
                                                clients.erase(gone);
                                                TellIfDrained();
                                              });
  clients[client.get()] = client;
  // The whole station first: a client that connects late misses nothing it must show.
  std::vector<std::shared_ptr<const std::string>> first;
  for (const std::string& text : slot_texts) first.push_back(Event("slot", text));
  first.push_back(Event("totals", TotalsJson(shown, quarters)));
  client->Begin(first);
  if (draining) client->CloseWhenSent();
}

void WebServer::State::Drain() {
  Publish();
  boost::system::error_code ignored;
  acceptor.close(ignored);
  draining = true;
  TellIfDrained();
  std::vector<std::shared_ptr<EventClient>> all;
  for (const auto& entry : clients) all.push_back(entry.second);
  for (const auto& client : all) client->CloseWhenSent();
}

WebServer::WebServer(std::unique_ptr<State> state) : state_(std::move(state)) {}

WebServer::~WebServer() {
  // A batch's last records are written just before the station ends: its viewers get them, but
  // a client that does not take them at once is not waited for.
  if (state_->thread.joinable()) {
    std::future<void> drained = state_->drained.get_future();
    State* state = state_.get();
    asio::post(state->io, [state] { state->Drain(); });
    drained.wait_for(std::chrono::seconds(1));
  }
  state_->io.stop();
  if (state_->thread.joinable()) state_->thread.join();
}

std::unique_ptr<WebServer> WebServer::Open(const Setup& setup, std::string* message) {
  const std::string& text = setup.address_port;
  std::string host = "127.0.0.1", port = text;
  if (!text.empty() && text.front() == '[' && text.find("]:") != std::string::npos) {
    host = text.substr(1, text.find("]:") - 1);
    port = text.substr(text.find("]:") + 2);
  } else if (text.rfind(':') != std::string::npos) {
    host = text.substr(0, text.rfind(':'));
    port = text.substr(text.rfind(':') + 1);
  }
  auto state = std::make_unique<State>(setup);
  boost::system::error_code error;
  const asio::ip::address address = asio::ip::make_address(host, error);
  if (error) {
    *message = "--http " + text + ": " + host + " is not an IP address";
    return nullptr;
  }
  const tcp::endpoint wanted(address, static_cast<unsigned short>(std::stoul(port)));
  tcp::acceptor& acceptor = state->acceptor;
  bool exclusive = true;
  acceptor.open(wanted.protocol(), error);
  if (!error) {
    exclusive =
        platform::MakeListenerExclusive(static_cast<std::uintptr_t>(acceptor.native_handle()));
  }
  if (!error && exclusive) acceptor.bind(wanted, error);
  if (!error && exclusive) acceptor.listen(asio::socket_base::max_listen_connections, error);
  tcp::endpoint bound;
  if (!error && exclusive) bound = acceptor.local_endpoint(error);
  if (error || !exclusive) {
    *message = "--http " + text + ": cannot listen on " + host + " port " + port + " (" +
               (exclusive ? WhyNotBound(error) : std::string("no exclusive use of the port")) + ")";
    return nullptr;
  }
  const std::string shown_host =
      address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  state->url = "http://" + shown_host + ":" + std::to_string(bound.port()) + "/";
  state->records = ReadCsvRecords(setup.csv_file).size();
  return std::unique_ptr<WebServer>(new WebServer(std::move(state)));
}

std::string WebServer::Url() const { return state_->url; }

void WebServer::Start() {
  State* state = state_.get();
  state->Accept();
  state->thread = std::thread([state] {
    // Whatever no check foresaw (memory running out, a name the system cannot convert) ends the
    // request it met alone: the server, and the station with it, go on.
    for (;;) {
      try {
        state->io.run();
        return;
      } catch (const std::exception&) {
      }
    }
  });
}

void WebServer::Show(const StationView& view) {
  {
    std::lock_guard<std::mutex> hold(state_->handover_lock);
    state_->handed_view = view;
  }
  state_->PostPublish();
}

void WebServer::Record(const Row& row) {
  {
    std::lock_guard<std::mutex> hold(state_->handover_lock);
    state_->handed_rows.push_back(row);
  }
  state_->PostPublish();
}

}  // namespace station
