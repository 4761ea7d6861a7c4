#include "tools/replay/x_display.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tools/replay/quiet_stderr.h"

namespace {

constexpr int kXTcpBasePort = 6000;      // display :n listens on 6000 + n
constexpr int kConnectTimeoutMs = 2000;  // for a remote display

// Connects `fd` within kConnectTimeoutMs; false with errno set on failure.
bool connectWithin(int fd, const sockaddr* address, socklen_t length) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  if (connect(fd, address, length) == 0) return true;
  if (errno != EINPROGRESS) return false;
  pollfd waiting{fd, POLLOUT, 0};
  if (poll(&waiting, 1, kConnectTimeoutMs) != 1) {
    errno = ETIMEDOUT;
    return false;
  }
  int error = 0;
  socklen_t size = sizeof error;
  getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
  errno = error;
  return error == 0;
}

bool connectUnix(const std::string& path, bool abstract) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;  // the abstract namespace starts with a 0 byte
  if (path.size() + offset >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path + offset, path.data(), path.size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = connectWithin(fd, reinterpret_cast<const sockaddr*>(&address), length);
  close(fd);
  return ok;
}

bool connectTcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    ok = connectWithin(fd, a->ai_addr, a->ai_addrlen);
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

// Whether anything listens where DISPLAY ("host:n.screen", ":n") points.
bool xServerListens(const std::string& display) {
  const std::size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  const int number = std::atoi(display.c_str() + colon + 1);
  if (host.empty() || host == "unix") {
    const std::string socketPath = "/tmp/.X11-unix/X" + std::to_string(number);
    return connectUnix(socketPath, false) || connectUnix(socketPath, true);
  }
  return connectTcp(host, kXTcpBasePort + number);
}

}  // namespace

// The few libX11 calls the tool makes, loaded at run time so that the build needs no X headers
// or libraries. X types as the ABI has them: Display* is opaque, Window and Atom are unsigned
// long, Bool and Status are int.
struct XlibCalls {
  using Display = void;
  using Window = unsigned long;
  using Atom = unsigned long;
  using ErrorHandler = int (*)(Display*, void*);

  void* library = nullptr;
  Display* (*openDisplay)(const char*) = nullptr;
  int (*closeDisplay)(Display*) = nullptr;
  Window (*defaultRootWindow)(Display*) = nullptr;
  Atom (*internAtom)(Display*, const char*, int) = nullptr;
  int (*queryTree)(Display*, Window, Window*, Window*, Window**, unsigned int*) = nullptr;
  int (*getWindowProperty)(Display*, Window, Atom, long, long, int, Atom, Atom*, int*,
                           unsigned long*, unsigned long*, unsigned char**) = nullptr;
  int (*free)(void*) = nullptr;
  ErrorHandler (*setErrorHandler)(ErrorHandler) = nullptr;
  Display* display = nullptr;

  // Loads libX11 and resolves every call; false when any is missing.
  bool load() {
    library = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return false;
    return resolve(openDisplay, "XOpenDisplay") && resolve(closeDisplay, "XCloseDisplay") &&
           resolve(defaultRootWindow, "XDefaultRootWindow") && resolve(internAtom, "XInternAtom") &&
           resolve(queryTree, "XQueryTree") && resolve(getWindowProperty, "XGetWindowProperty") &&
           resolve(free, "XFree") && resolve(setErrorHandler, "XSetErrorHandler");
  }

  template <typename Function>
  bool resolve(Function& function, const char* name) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    return function != nullptr;
  }

  // Opens $DISPLAY quietly: Xlib prints "Authorization required" and the like itself.
  bool open() {
    QuietStderr quiet;
    display = openDisplay(nullptr);
    return display != nullptr;
  }

  ~XlibCalls() {
    if (display != nullptr) closeDisplay(display);
    // The library stays loaded: the window toolkit uses it too, and unloading Xlib is unsafe.
  }

  // The window's children; false when the window does not exist (any more). Xlib's default
  // error handler would end the process on that error, so a silent one stands in meanwhile.
  bool children(Window window, std::vector<Window>& found) {
    const ErrorHandler previous = setErrorHandler([](Display*, void*) { return 0; });
    Window root = 0, parent = 0;
    Window* list = nullptr;
    unsigned int count = 0;
    const bool ok = queryTree(display, window, &root, &parent, &list, &count) != 0;
    setErrorHandler(previous);
    found.assign(list, list + (ok && list != nullptr ? count : 0));
    if (list != nullptr) free(list);
    return ok;
  }

  // The window's property `name` as bytes; empty when it has none.
  std::string property(Window window, const char* name) {
    const Atom atom = internAtom(display, name, 1);
    if (atom == 0) return {};
    const ErrorHandler previous = setErrorHandler([](Display*, void*) { return 0; });
    Atom type = 0;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    const int status = getWindowProperty(display, window, atom, 0, 256, 0, 0 /* AnyPropertyType */,
                                         &type, &format, &items, &after, &data);
    setErrorHandler(previous);
    std::string value;
    if (status == 0 && data != nullptr) {
      // Xlib hands 32-bit items back as longs.
      const std::size_t itemBytes =
          format == 32 ? sizeof(long) : static_cast<std::size_t>(format / 8);
      value.assign(reinterpret_cast<const char*>(data), items * itemBytes);
    }
    if (data != nullptr) free(data);
    return value;
  }
};

std::string windowUnavailableReason() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') {
      return "a Wayland session without an X display (DISPLAY is not set)";
    }
    return "no display (DISPLAY is not set)";
  }
  const std::string unreachable = "no X server answers at DISPLAY '" + std::string(display) + "'";
  // First the socket, with a time limit: Xlib would wait for a remote host's TCP timeout. Then
  // libX11, when installed (the window toolkits load it anyway), opens the display as the
  // toolkit will, authorisation included.
  if (!xServerListens(display)) return unreachable;
  XlibCalls x;
  if (x.load() && !x.open()) return unreachable;
  return {};
}

XWindowWatch::XWindowWatch() : x_(std::make_unique<XlibCalls>()) {
  if (!x_->load() || !x_->open()) x_.reset();
}

XWindowWatch::~XWindowWatch() = default;

bool XWindowWatch::destroyed(const std::string& title) {
  constexpr int kMostSearches = 100;  // frames to look for the window before giving up
  if (!x_) return false;
  std::vector<XlibCalls::Window> children;
  if (window_ != 0) return !x_->children(window_, children);
  if (searches_ >= kMostSearches) return false;
  ++searches_;
  // Top-level windows are the root's children, or its grandchildren once a window manager has
  // framed them. The toolkit names the process on its windows (_NET_WM_PID).
  const long pid = static_cast<long>(getpid());
  std::vector<XlibCalls::Window> level{x_->defaultRootWindow(x_->display)};
  for (int depth = 0; depth < 3 && window_ == 0; ++depth) {
    std::vector<XlibCalls::Window> next;
    for (const XlibCalls::Window parent : level) {
      if (!x_->children(parent, children)) continue;
      for (const XlibCalls::Window child : children) {
        const std::string owner = x_->property(child, "_NET_WM_PID");
        long ownerPid = 0;
        if (owner.size() == sizeof ownerPid) std::memcpy(&ownerPid, owner.data(), sizeof ownerPid);
        if (ownerPid == pid && x_->property(child, "_NET_WM_NAME") == title) {
          window_ = child;
          break;
        }
        next.push_back(child);
      }
      if (window_ != 0) break;
    }
    level.swap(next);
  }
  return false;
}
