// Native top-level windows for the skin toolkit, with the Win32 message model
// it was designed around: native input arrives as WM_* messages, PostMessage
// works from any thread, timers are numbered, a message loop runs until quit.
// The GTK implementation lives in window.cpp; tests supply their own
// NativeWindow to run the toolkit without a display.
#pragma once

#include <memory>
#include <string>

#include "platform/painter.h"
#include "platform/win_types.h"
#include "platform/window_registry.h"

namespace platform {

// Receives what happens to a native window. Called on the window's thread.
class NativeWindowSink {
 public:
  virtual LRESULT OnNativeMessage(unsigned msg, WPARAM wparam, LPARAM lparam) = 0;
  // Paint the part `dirty` of the client area (client coordinates).
  virtual void OnNativePaint(Painter& painter, const Rect& dirty) = 0;

 protected:
  ~NativeWindowSink() = default;
};

enum class CursorKind { kArrow, kHand };

class NativeWindow;

struct NativeWindowParams {
  std::string title;
  Rect rect;                      // screen position and outer size; empty size picks 100 x 100
  NativeWindow* owner = nullptr;  // borrowed; the window stays above its owner
  bool layered = false;           // per-pixel alpha when the screen can show it
};

// One top-level window. Everything except Post runs on the window's thread.
class NativeWindow {
 public:
  virtual ~NativeWindow() = default;

  // The window's entry in the window table: threads that may outlive the
  // window post through it (PostToWindow) rather than through this object.
  virtual WindowId Id() const = 0;
  // Queues a message for the sink; safe from any thread while this object
  // exists. False once the window is gone.
  bool Post(unsigned msg, WPARAM wparam, LPARAM lparam) {
    return PostToWindow(Id(), msg, wparam, lparam);
  }
  // Starts or restarts timer `id`: every `ms` the sink gets WM_TIMER(id).
  virtual bool SetTimer(unsigned id, unsigned ms) = 0;
  virtual bool KillTimer(unsigned id) = 0;
  virtual void Invalidate(const Rect& client_rect) = 0;
  virtual Size GetClientSize() const = 0;
  virtual Rect GetWindowRect() const = 0;  // screen coordinates
  virtual Rect GetWorkArea() const = 0;    // usable part of the window's monitor
  virtual void Move(int x, int y) = 0;
  virtual void Resize(int width, int height) = 0;
  virtual void Show(int show_command) = 0;
  virtual bool IsVisible() const = 0;
  virtual bool IsMinimized() const = 0;
  virtual bool IsMaximized() const = 0;
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetTopmost(bool topmost) = 0;
  // A disabled window takes no input, embedded views included.
  virtual void SetEnabled(bool enabled) = 0;
  virtual void Focus() = 0;
  virtual void SetCursor(CursorKind kind) = 0;
  virtual void SetIconPng(const unsigned char* data, std::size_t size) = 0;
  virtual Point ScreenToClient(Point p) const = 0;
  // Destroys the native window; the sink then gets WM_DESTROY and
  // WM_NCDESTROY, after which it must not be used.
  virtual void Destroy() = 0;
  // The toolkit's native container (GtkWidget* for the GTK windows).
  virtual void* NativeContainer() = 0;
};

// Sets the environment variables the display and the web view read. Call at
// the very start of main, before any other thread exists: changing the
// environment is not safe while other threads may read it. Keeps WebKit's
// sandbox unless the process runs as root, where it cannot work.
void PrepareProcessEnvironment();

// Opens the display once per process; false with a reason when there is none.
bool InitDisplay(std::string* error);

// A GTK window; null when there is no display.
std::unique_ptr<NativeWindow> CreateGtkWindow(const NativeWindowParams& params,
                                              NativeWindowSink* sink);

// Runs native events and posted messages until PostQuitMessage; returns its
// code. `keep_running` (may be null) is checked after every event: a modal
// loop ends when its window is gone, leaving a pending quit for the outer loop.
int RunMessageLoop(bool (*keep_running)(void*) = nullptr, void* context = nullptr);
void PostQuitMessage(int code);
// Posts to this process's window with exactly this title, from any thread
// (the self-update's message to the main window); false when there is none.
bool PostMessageToTitle(const std::string& title, unsigned msg, WPARAM wparam, LPARAM lparam);
// Waits until the display server has handled every request sent so far;
// events it made meanwhile (input from other programs included) are then
// queued here, to be handled in order by the next loop iteration.
void SyncDisplay();
// Handles what is pending without waiting (tests, and work between frames).
void PumpPendingMessages();
bool QuitRequested();

// Milliseconds since an arbitrary fixed start (the notification time stamp).
unsigned TickCount();

// The modal system message box: `type` takes MB_* bits, returns IDOK or IDCANCEL.
int SystemMessageBox(NativeWindow* owner, const std::string& text, const std::string& caption,
                     unsigned type);

// What the screen shows of the window's client area (tests, screenshots);
// null when the window is not on screen.
std::unique_ptr<Surface> CaptureClientArea(NativeWindow* window);

// Opens an address in the desktop's browser; false when nothing could take it.
bool OpenInBrowser(const std::string& url);

}  // namespace platform
