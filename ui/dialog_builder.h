// Builds a control tree from a skin file: reads the XML from the package (or
// disk), applies the `Window` attributes and fonts to the paint manager, and
// creates the controls with their attributes in the order written. Used on
// the UI thread.
#pragma once

#include <memory>
#include <string>

#include "ui/control.h"

namespace SkinUI {

// Asked for element names the toolkit does not know.
class IDialogBuilderCallback {
 public:
  virtual CControlUI* CreateControl(const std::string& class_name) = 0;

 protected:
  ~IDialogBuilderCallback() = default;
};

class CDialogBuilder {
 public:
  // Null when the skin cannot be read or parsed; the reason is in
  // LastError(). The manager (may be null) gets the window attributes and
  // fonts; the tree is not attached to it.
  std::unique_ptr<CControlUI> Create(const std::string& skin_file, IDialogBuilderCallback* callback,
                                     CPaintManagerUI* manager);
  // The same from skin text already in memory.
  std::unique_ptr<CControlUI> CreateFromText(const std::string& xml,
                                             IDialogBuilderCallback* callback,
                                             CPaintManagerUI* manager);
  const std::string& LastError() const { return error_; }

  // A control of a known element name, or null.
  static std::unique_ptr<CControlUI> CreateKnownControl(const std::string& class_name);

 private:
  std::string error_;
};

}  // namespace SkinUI
