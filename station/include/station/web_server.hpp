// The station's web view: a page, a read-only JSON API and an event stream, served on a thread
// of its own from the snapshots the station hands it, so that no client can stop or slow a slot.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "station/record.hpp"
#include "station/slot_view.hpp"

namespace station {

class WebServer {
 public:
  struct Setup {
    std::string address_port;  // PORT, ADDRESS:PORT or [IPV6]:PORT; the loopback without address
    std::string work_folder;   // /runs/ serves the files under it
    std::string csv_file;      // /api/records reads it
    // Events a client may have waiting; one that falls further behind is dropped.
    size_t queued_events = 256;
  };

  // Bound and listening, not yet serving (see Start); null with one line in *message when the
  // address is not one of this PC or the port is taken.
  static std::unique_ptr<WebServer> Open(const Setup& setup, std::string* message);
  ~WebServer();  // stops serving and drops every client
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;

  // Where it listens, as a browser is given it: http://127.0.0.1:8080/.
  std::string Url() const;
  // Serving begins on the server's own thread.
  void Start();

  // The station's hooks. They copy and return: any thread may call them, and neither waits on
  // the server's work or on a client.
  void Show(const StationView& view);
  void Record(const Row& row);

 private:
  struct State;
  explicit WebServer(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace station
