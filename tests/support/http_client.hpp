// A plain HTTP client for tests of the station's web view: one request per connection, and a
// reader of an event stream that is kept open while the test goes on.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

namespace testsupport {

struct HttpAnswer {
  int status = 0;  // 0: no answer
  std::string head, body;
};

// A connection to 127.0.0.1:`port` that has sent `method target`; -1 when none.
inline int HttpSend(int port, const std::string& method, const std::string& target) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const std::string request = method + " " + target +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                              "Content-Length: 0\r\n\r\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads what arrives on `fd` into *text until `until` is in it, the peer closes, or `bound_ms`
// pass; true when `until` came (any text: "" reads to the end).
inline bool ReadUntil(int fd, std::string* text, const std::string& until, int bound_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(bound_ms);
  while (until.empty() || text->find(until) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return until.empty();
    text->append(buffer, static_cast<size_t>(n));
  }
  return true;
}

inline HttpAnswer Http(int port, const std::string& target, const std::string& method = "GET") {
  HttpAnswer answer;
  const int fd = HttpSend(port, method, target);
  if (fd < 0) return answer;
  std::string text;
  ReadUntil(fd, &text, "", 10000);
  close(fd);
  const size_t head_end = text.find("\r\n\r\n");
  if (text.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) return answer;
  answer.status = std::stoi(text.substr(9, 3));
  answer.head = text.substr(0, head_end);
  answer.body = text.substr(head_end + 4);
  return answer;
}

}  // namespace testsupport
