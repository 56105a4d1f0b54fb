// qmsend: sends barcode lines to Quillmere over TCP, as a scanner app would.
//
//   qmsend [-e crlf|lf|cr|none] [-d MS] [-r N] [-c] [-f FILE] HOST PORT [BARCODE...]
//
// With no BARCODE and no -f, lines come from standard input (-f - as well).
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

void Usage() {
  std::fprintf(stderr,
               "usage: qmsend [options] HOST PORT [BARCODE...]\n"
               "  -e ENDING  line ending after each barcode: crlf (default), lf, cr, none\n"
               "  -d MS      pause between barcodes, in milliseconds (default 0)\n"
               "  -r N       send the whole list N times (default 1)\n"
               "  -c         a new connection for every barcode (default: one for all)\n"
               "  -f FILE    barcodes are the lines of FILE; - is standard input\n"
               "With no BARCODE and no -f, the lines of standard input are sent.\n");
}

int Connect(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  if (int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res); rc != 0) {
    std::fprintf(stderr, "qmsend: %s: %s\n", host.c_str(), ::gai_strerror(rc));
    return -1;
  }
  int fd = ::socket(res->ai_family, res->ai_socktype, res->ai_protocol);
  if (fd < 0 || ::connect(fd, res->ai_addr, res->ai_addrlen) != 0) {
    std::fprintf(stderr, "qmsend: cannot connect to %s:%s: %s\n", host.c_str(), port.c_str(),
                 std::strerror(errno));
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  ::freeaddrinfo(res);
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (n <= 0) {
      std::fprintf(stderr, "qmsend: send failed: %s\n", std::strerror(errno));
      return false;
    }
    at += static_cast<std::size_t>(n);
  }
  return true;
}

void ReadLines(std::istream& in, std::vector<std::string>& out) {
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    out.push_back(line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string ending = "\r\n";
  long delayMs = 0, repeat = 1;
  bool perLine = false;
  std::vector<std::string> barcodes;
  int opt;
  bool fromFile = false;
  while ((opt = ::getopt(argc, argv, "e:d:r:cf:h")) != -1) {
    switch (opt) {
      case 'e': {
        std::string e = optarg;
        if (e == "crlf") ending = "\r\n";
        else if (e == "lf") ending = "\n";
        else if (e == "cr") ending = "\r";
        else if (e == "none") ending.clear();
        else {
          std::fprintf(stderr, "qmsend: unknown line ending '%s'\n", optarg);
          return 2;
        }
        break;
      }
      case 'd': delayMs = std::strtol(optarg, nullptr, 10); break;
      case 'r': repeat = std::strtol(optarg, nullptr, 10); break;
      case 'c': perLine = true; break;
      case 'f': {
        fromFile = true;
        if (std::string(optarg) == "-") {
          ReadLines(std::cin, barcodes);
        } else {
          std::ifstream f(optarg, std::ios::binary);
          if (!f) {
            std::fprintf(stderr, "qmsend: cannot read %s\n", optarg);
            return 2;
          }
          ReadLines(f, barcodes);
        }
        break;
      }
      default: Usage(); return opt == 'h' ? 0 : 2;
    }
  }
  if (argc - optind < 2 || delayMs < 0 || repeat < 1) {
    Usage();
    return 2;
  }
  const std::string host = argv[optind], port = argv[optind + 1];
  for (int i = optind + 2; i < argc; ++i) barcodes.push_back(argv[i]);
  if (!fromFile && optind + 2 == argc) ReadLines(std::cin, barcodes);

  int fd = -1;
  long sent = 0;
  for (long r = 0; r < repeat; ++r) {
    for (const std::string& b : barcodes) {
      if (fd < 0 && (fd = Connect(host, port)) < 0) return 1;
      if (sent > 0 && delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
      if (!SendAll(fd, b + ending)) return 1;
      ++sent;
      if (perLine) {
        ::close(fd);
        fd = -1;
      }
    }
  }
  if (fd >= 0) {
    ::shutdown(fd, SHUT_WR);
    char c;
    while (::recv(fd, &c, 1, 0) > 0) {}  // the server never sends; wait for its close
    ::close(fd);
  }
  std::fprintf(stderr, "qmsend: sent %ld barcode(s) to %s:%s\n", sent, host.c_str(), port.c_str());
  return 0;
}
