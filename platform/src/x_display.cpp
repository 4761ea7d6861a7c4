#include "platform/x_display.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <unistd.h>
#include <xcb/xcb.h>

namespace {

// xcb's replies are malloc'd and freed with free().
template <typename Reply>
using ReplyPtr = std::unique_ptr<Reply, decltype(&std::free)>;

template <typename Reply>
ReplyPtr<Reply> owned(Reply* reply) {
  return ReplyPtr<Reply>(reply, &std::free);
}

// The atom `name` when some client has made it, else 0.
xcb_atom_t existingAtom(xcb_connection_t* c, const char* name) {
  const auto reply = owned(xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 1, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : 0;
}

// The window's children; false when the window does not exist (any more).
bool children(xcb_connection_t* c, xcb_window_t window, std::vector<xcb_window_t>& found) {
  xcb_generic_error_t* error = nullptr;
  const auto reply = owned(xcb_query_tree_reply(c, xcb_query_tree(c, window), &error));
  std::free(error);
  found.clear();
  if (!reply) return false;
  const xcb_window_t* list = xcb_query_tree_children(reply.get());
  found.assign(list, list + xcb_query_tree_children_length(reply.get()));
  return true;
}

// The window's property `atom` as bytes; empty when it has none.
std::string property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t atom) {
  if (atom == 0) return {};
  const auto reply = owned(xcb_get_property_reply(
      c, xcb_get_property(c, 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr));
  if (!reply) return {};
  const auto* data = static_cast<const char*>(xcb_get_property_value(reply.get()));
  return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
}

}  // namespace

std::string windowUnavailableReason() {
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0') {
      return "a Wayland session without an X display (DISPLAY is not set)";
    }
    return "no display (DISPLAY is not set)";
  }
  xcb_connection_t* connection = xcb_connect(display, nullptr);
  const bool answers = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  if (answers) return {};
  return "no X server answers at DISPLAY '" + std::string(display) + "'";
}

XWindowWatch::XWindowWatch() {
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_) != 0) {
    xcb_disconnect(connection_);
    connection_ = nullptr;
    return;
  }
  xcb_screen_iterator_t screen = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screenNumber && screen.rem > 0; ++i)
    xcb_screen_next(&screen);
  root_ = screen.rem > 0 ? screen.data->root : 0;
}

XWindowWatch::~XWindowWatch() {
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

bool XWindowWatch::destroyed(const std::string& title) {
  constexpr int kMostSearches = 100;  // frames to look for the window before giving up
  if (connection_ == nullptr || root_ == 0) return false;
  std::vector<xcb_window_t> found;
  // A broken connection says nothing of the window: the X server is gone, which the toolkit
  // notices by itself (Qt ends the program).
  if (window_ != 0) {
    return !children(connection_, window_, found) && xcb_connection_has_error(connection_) == 0;
  }
  if (searches_ >= kMostSearches) return false;
  ++searches_;
  // Top-level windows are the root's children, or its grandchildren once a window manager has
  // framed them. The toolkit names the process on its windows (_NET_WM_PID, 32-bit).
  const xcb_atom_t pidAtom = existingAtom(connection_, "_NET_WM_PID");
  const xcb_atom_t nameAtom = existingAtom(connection_, "_NET_WM_NAME");
  const auto pid = static_cast<std::uint32_t>(getpid());
  std::vector<xcb_window_t> level{root_};
  for (int depth = 0; depth < 3 && window_ == 0; ++depth) {
    std::vector<xcb_window_t> next;
    for (const xcb_window_t parent : level) {
      if (!children(connection_, parent, found)) continue;
      for (const xcb_window_t child : found) {
        const std::string owner = property(connection_, child, pidAtom);
        std::uint32_t ownerPid = 0;
        if (owner.size() == sizeof ownerPid) std::memcpy(&ownerPid, owner.data(), sizeof ownerPid);
        if (ownerPid == pid && property(connection_, child, nameAtom) == title) {
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
