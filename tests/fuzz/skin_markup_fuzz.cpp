// Fuzzes skin markup (mainframe.xml, the message box's skin) the way a window
// takes it, at the lowest level that needs no display: the control tree is
// built, the `Window` attributes and fonts go to a paint manager, the tree
// is attached, laid out, painted onto an off-screen surface (cairo and
// pango) and searched by name and by point. Pictures come from the skin's
// own folder. Checked: a skin that does not build says why.
#include <algorithm>

#include "platform/painter.h"
#include "tests/fuzz/fuzz_support.h"
#include "ui/control.h"
#include "ui/dialog_builder.h"
#include "ui/paint_manager.h"

using namespace SkinUI;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FuzzFolder();  // silences the day log
  CPaintManagerUI::SetResourcePath(KESTRAVA_SKIN_DIR);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string xml(reinterpret_cast<const char*>(data), size);
  CPaintManagerUI manager;
  CDialogBuilder builder;
  std::unique_ptr<CControlUI> root = builder.CreateFromText(xml, nullptr, &manager);
  if (!root) {
    FUZZ_CHECK(!builder.LastError().empty());
    return 0;
  }
  FUZZ_CHECK(manager.AttachDialog(root.release()));
  // The surface is kept small: a skin's own size may be anything.
  const Size client = manager.GetClientSize();
  const int width = std::clamp(client.cx, 1, 200), height = std::clamp(client.cy, 1, 200);
  platform::Surface surface(width, height);
  manager.Paint(surface.GetPainter(), Rect{0, 0, width, height});
  manager.FindControl(Point{width / 2, height / 2});
  for (const char* name : {"EntryBtn", "btnRepair", "ctrProcess", "closebtn", "ie"}) {
    if (CControlUI* c = manager.FindControl(name)) FUZZ_CHECK(c->GetName() == name);
  }
  return 0;
}
