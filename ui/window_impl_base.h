// The base of every skinned window: builds its control tree from the skin
// when the window is created, routes window messages to overridable
// handlers, and dispatches named notifications through message maps
// (SKIN_MSGMAP) to the derived window's handlers. Owns the window's paint
// manager. UI thread only.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "ui/dialog_builder.h"
#include "ui/paint_manager.h"
#include "ui/window_wnd.h"

namespace SkinUI {

class CNotifyPump;
// Handlers are reached through plain functions that cast the pump back to
// the class that declared the handler.
using SKIN_PMSG = void (*)(CNotifyPump* pump, TNotifyUI& msg);
using SKIN_PMSG_WL = LRESULT (*)(CNotifyPump* pump, WPARAM wparam, LPARAM lparam);

enum SkinSig { SkinSig_end = 0, SkinSig_lwl = 1, SkinSig_vn = 2 };

template <typename T>
struct SkinMemberClass;
template <typename C, typename R, typename... A>
struct SkinMemberClass<R (C::*)(A...)> {
  using type = C;
};

template <auto F>
void SkinCallNotify(CNotifyPump* pump, TNotifyUI& msg) {
  using C = typename SkinMemberClass<decltype(F)>::type;
  (static_cast<C*>(pump)->*F)(msg);
}

template <auto F>
LRESULT SkinCallWL(CNotifyPump* pump, WPARAM wparam, LPARAM lparam) {
  using C = typename SkinMemberClass<decltype(F)>::type;
  return (static_cast<C*>(pump)->*F)(wparam, lparam);
}

struct SKIN_MSGMAP_ENTRY {
  const char* sMsgType;
  const char* sCtrlName;  // empty: any control
  unsigned nSig;
  SKIN_PMSG pfn;       // signature 2
  SKIN_PMSG_WL pfnWL;  // signature 1
};

struct SKIN_MSGMAP {
  const SKIN_MSGMAP* (*pfnGetBaseMap)();
  const SKIN_MSGMAP_ENTRY* lpEntries;
};

// Finds the handler of a notification along the map chain of the object.
class CNotifyPump {
 public:
  virtual ~CNotifyPump() = default;
  bool AddVirtualWnd(const std::string& name, CNotifyPump* pump);
  bool RemoveVirtualWnd(const std::string& name);
  void NotifyPump(TNotifyUI& msg);
  virtual const SKIN_MSGMAP* GetMessageMap() const;

 protected:
  static const SKIN_MSGMAP messageMap;

 private:
  static const SKIN_MSGMAP_ENTRY _messageEntries[];
  bool LoopDispatch(TNotifyUI& msg);
  std::map<std::string, CNotifyPump*> virtual_windows_;  // borrowed
};

#define SKIN_DECLARE_MESSAGE_MAP()                          \
 private:                                                   \
  static const SkinUI::SKIN_MSGMAP_ENTRY _messageEntries[]; \
                                                            \
 protected:                                                 \
  static const SkinUI::SKIN_MSGMAP messageMap;              \
  static const SkinUI::SKIN_MSGMAP* _GetBaseMessageMap();   \
                                                            \
 public:                                                    \
  const SkinUI::SKIN_MSGMAP* GetMessageMap() const override;

#define SKIN_BEGIN_MESSAGE_MAP(theClass, baseClass)                                 \
  const SkinUI::SKIN_MSGMAP* theClass::_GetBaseMessageMap() {                       \
    return &baseClass::messageMap;                                                  \
  }                                                                                 \
  const SkinUI::SKIN_MSGMAP* theClass::GetMessageMap() const {                      \
    return &theClass::messageMap;                                                   \
  }                                                                                 \
  const SkinUI::SKIN_MSGMAP theClass::messageMap = {&theClass::_GetBaseMessageMap,  \
                                                    &theClass::_messageEntries[0]}; \
  const SkinUI::SKIN_MSGMAP_ENTRY theClass::_messageEntries[] = {
#define SKIN_ON_MSGTYPE(type, fn) \
  {type, "", SkinUI::SkinSig_vn, &SkinUI::SkinCallNotify<&fn>, nullptr},
#define SKIN_ON_MSGTYPE_CTRNAME(type, name, fn) \
  {type, name, SkinUI::SkinSig_vn, &SkinUI::SkinCallNotify<&fn>, nullptr},
#define SKIN_ON_MSGTYPE_WL(type, fn) \
  {type, "", SkinUI::SkinSig_lwl, nullptr, &SkinUI::SkinCallWL<&fn>},
#define SKIN_ON_CLICK_CTRNAME(name, fn) SKIN_ON_MSGTYPE_CTRNAME("click", name, fn)
#define SKIN_END_MESSAGE_MAP()                      \
  { "", "", SkinUI::SkinSig_end, nullptr, nullptr } \
  }                                                 \
  ;

enum UILIB_RESOURCETYPE {
  UILIB_FILE = 1,
  UILIB_ZIP = 2,
  UILIB_RESOURCE = 3,
  UILIB_ZIPRESOURCE = 4,
};

class WindowImplBase : public CWindowWnd,
                       public CNotifyPump,
                       public INotifyUI,
                       public IMessageFilterUI,
                       public IDialogBuilderCallback {
 public:
  WindowImplBase();
  ~WindowImplBase() override;

  void OnFinalMessage(HWND hwnd) override;
  virtual void InitWindow() {}
  virtual void OnClick(TNotifyUI& msg);
  virtual std::string SkinFolder() = 0;
  virtual std::string SkinFile() = 0;
  virtual LRESULT ResponseDefaultKeyEvent(WPARAM wparam);
  virtual UILIB_RESOURCETYPE GetResourceType() const { return UILIB_FILE; }
  virtual std::string GetZIPFileName() const { return ""; }
  virtual int GetResourceID() const { return 0; }
  virtual LRESULT OnClose(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnDestroy(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnNcActivate(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnNcCalcSize(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnNcPaint(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnNcHitTest(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnGetMinMaxInfo(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnMouseWheel(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnMouseHover(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnSize(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnChar(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnSysCommand(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnCreate(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnKeyDown(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnKillFocus(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnSetFocus(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnLButtonDown(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnLButtonUp(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT OnMouseMove(unsigned, WPARAM, LPARAM, bool& handled);
  virtual LRESULT HandleCustomMessage(unsigned, WPARAM, LPARAM, bool& handled);
  virtual unsigned GetStyle();

  LRESULT HandleMessage(unsigned msg, WPARAM wparam, LPARAM lparam) override;
  unsigned GetClassStyle() const override { return CS_DBLCLKS; }
  void Notify(TNotifyUI& msg) override { NotifyPump(msg); }
  LRESULT MessageHandler(unsigned msg, WPARAM wparam, LPARAM lparam, bool& handled) override;
  CControlUI* CreateControl(const std::string&) override { return nullptr; }

  CPaintManagerUI& GetPaintManager() { return m_PaintManager; }

  // The first window's copy of the package resource, kept for the process.
  static std::unique_ptr<unsigned char[]> m_lpResourceZIPBuffer;

 protected:
  enum class SkinBuild { kNoPackage, kNoSkin, kBuilt };
  // What OnCreate does before InitWindow: the frame style, the paint manager
  // and its filter, the package, the control tree and the notifier. Windows
  // with their own OnCreate call it and decide what a failure means.
  SkinBuild BuildFromSkin();
  // Loads the package by GetResourceType; false when the package resource
  // is missing or empty.
  bool LoadResourcePackage();
  void OnPaint(platform::Painter& painter, const Rect& dirty) override;

  CPaintManagerUI m_PaintManager;

  SKIN_DECLARE_MESSAGE_MAP()
};

}  // namespace SkinUI
