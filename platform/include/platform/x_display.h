#pragma once

#include <string>

// The window's X server, asked through libxcb, apart from the window toolkit. The window needs
// an X server (a Wayland session provides one through Xwayland and sets DISPLAY).

// Whether the window back-end can open a window here. OpenCV's Qt and GTK back-ends abort the
// process when they cannot open their display, so the tool asks first. Returns an empty string
// when the X server at $DISPLAY accepts a connection (authorisation included), else why not, in
// a few words.
std::string windowUnavailableReason();

struct xcb_connection_t;

// Notices the window destroyed behind the toolkit's back (`xdotool windowclose`, another client
// killing it): the toolkit neither hides the window nor says so, and goes on drawing into
// nothing. It watches through a connection of its own; where the display cannot be opened it
// never reports anything.
class XWindowWatch {
 public:
  XWindowWatch();
  ~XWindowWatch();
  XWindowWatch(const XWindowWatch&) = delete;
  XWindowWatch& operator=(const XWindowWatch&) = delete;

  // After the window has been shown: true once this process's top-level window titled `title`
  // has been seen and no longer exists on a server that still answers. The first calls look for
  // it.
  bool destroyed(const std::string& title);

 private:
  xcb_connection_t* connection_ = nullptr;  // null: no display
  unsigned root_ = 0;                       // the screen's root window
  unsigned window_ = 0;                     // 0: not found yet
  int searches_ = 0;
};
