#include "app/main_frame.h"

#include <chrono>
#include <ctime>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "app/message_box.h"
#include "app/status_text.h"
#include "diag/log.h"
#include "platform/process.h"
#include "platform/window.h"
#include "ui/control.h"
#include "ui/web_browser.h"
#include "update/downloader.h"
#include "util/file_util.h"
#include "util/text_util.h"

using SkinUI::CControlUI;
using SkinUI::TNotifyUI;

namespace {

constexpr const char kEntryBtn[] = "EntryBtn";
constexpr const char kRepair[] = "btnRepair";
constexpr const char kPercent[] = "UpdatePercent";
constexpr const char kSpeed[] = "DownloadSpeed";
constexpr const char kBar[] = "ctrProcess";
constexpr const char kFullBar[] = "cntRrocess";
constexpr const char kFullBarImage[] = "Schedule_background.png";

constexpr const char* kControlNames[] = {
    "giftpack",       "EntryBtn",      "btnRepair",   "fullDown",
    "qqAdd",          "DownloadSpeed", "ctrProcess",  "CurrentVerTxt",
    "Reward",         "UpdatePercent", "cntRrocess",  "ie",
    "OfficialWebBtn", "RegisterBtn",   "RechargeBtn", "ForumBtn"};

// Each timer re-arms with its own period after a tick.
int TickPeriodMs(int id) {
  switch (id) {
    case kFileInfoTimer:
    case kSelfUpdateTimer:
      return 1000;
    default:
      return 100;
  }
}

int StatusOfTimer(int id) {
  switch (id) {
    case kFileCheckTimer:
      return Status_Ready;
    case kFileInfoTimer:
      return Status_DifferencesReady;
    case kDownloadTimer:
      return Status_SizeReady;
    case kFirstDownloadTimer:
      return Status_FirstLogin;
    case kSelfUpdateTimer:
      return Status_SelfUpdating;
    default:
      return -1;
  }
}

bool ClearsTexts(int code) {
  switch (code) {
    case 0:
    case 1:
    case 3:
    case 5:
    case 17:
    case 28:
    case 29:
      return true;
    default:
      return false;
  }
}

// The page's browser events are left to the browser; the page gets no
// three-dimensional border.
class LauncherWebHandler : public SkinUI::CWebBrowserEventHandler {
 public:
  void GetHostInfo(unsigned* flags) override { *flags |= SkinUI::DOCHOSTUIFLAG_NO3DBORDER; }
};

ProgressCounters CountersOf(const CVXDlownloader::Progress& p) {
  return ProgressCounters{p.finishedFileCount, p.totalFileCount, p.downloadedBytes, p.totalBytes};
}

int ByteWeight() {
  std::minstd_rand random(static_cast<unsigned>(std::time(nullptr)));
  return static_cast<int>(random() % 20) + 70;
}

}  // namespace

// Calls from other threads, run on the UI thread in the order they were
// queued: the queue is drained on kRunQueuedCallsMessage. Thread-safe.
class UiCallQueue {
 public:
  explicit UiCallQueue(platform::WindowId window) : window_(window) {}

  void Post(std::function<void()> call) { Queue(std::move(call), nullptr); }

  // Returns once the UI thread ran the call, or at once when the window is
  // gone (then the call does not run).
  void PostAndWait(std::function<void()> call) {
    std::promise<void> done;
    std::future<void> ran = done.get_future();
    if (Queue(std::move(call), &done)) ran.wait();
  }

  // UI thread.
  void RunPending() {
    for (;;) {
      Entry e;
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (calls_.empty()) return;
        e = std::move(calls_.front());
        calls_.pop_front();
      }
      e.call();
      if (e.done) e.done->set_value();
    }
  }

  // The window is going: nothing more runs, and no caller waits for it.
  void Close() {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
    for (Entry& e : calls_) {
      if (e.done) e.done->set_value();
    }
    calls_.clear();
  }

 private:
  struct Entry {
    std::function<void()> call;
    std::promise<void>* done = nullptr;
  };

  bool Queue(std::function<void()> call, std::promise<void>* done) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (closed_) return false;
      calls_.push_back(Entry{std::move(call), done});
    }
    if (platform::PostToWindow(window_, kRunQueuedCallsMessage, 0, 0)) return true;
    Close();  // the window is gone: release this caller and any other
    return false;
  }

  const platform::WindowId window_;
  std::mutex lock_;
  std::deque<Entry> calls_;  // guarded by lock_
  bool closed_ = false;      // guarded by lock_
};

// What the driver asks of the window, from the pass thread: display changes
// and timers are queued for the UI thread; engine work (the server list, the
// four-day check) runs on the calling thread.
class CMainFrame::Bridge : public UpdateUi {
 public:
  Bridge(CMainFrame* frame, platform::WindowId window) : frame_(frame), calls_(window) {}

  void ShowStatus(int code) override {
    calls_.Post([f = frame_, code] { f->ShowStatus(code); });
  }
  bool HasControl(const std::string& name) override { return frame_->Control(name) != nullptr; }
  void SetControlVisible(const std::string& name, bool visible) override {
    calls_.Post([f = frame_, name, visible] {
      if (CControlUI* c = f->Control(name)) c->SetVisible(visible);
    });
  }
  void SetControlEnabled(const std::string& name, bool enabled) override {
    calls_.Post([f = frame_, name, enabled] {
      if (CControlUI* c = f->Control(name)) c->SetEnabled(enabled);
    });
  }
  void SetControlText(const std::string& name, const std::string& text) override {
    calls_.Post([f = frame_, name, text] {
      if (CControlUI* c = f->Control(name)) c->SetText(text);
    });
  }
  void SetProgressTimer(int id, int periodMs) override {
    calls_.Post([f = frame_, id, periodMs] {
      if (CControlUI* bar = f->Control(kBar))
        f->GetPaintManager().SetTimer(bar, static_cast<unsigned>(id), periodMs);
    });
  }
  void KillProgressTimer(int id) override {
    calls_.Post([f = frame_, id] {
      if (CControlUI* bar = f->Control(kBar))
        f->GetPaintManager().KillTimer(bar, static_cast<unsigned>(id));
    });
  }
  void SetFirstDownloadFlag(bool on) override {
    calls_.Post([f = frame_, on] { f->firstDownload_ = on; });
  }
  // The pass waits while the player reads a low-disk warning.
  void CheckDiskSpace() override {
    calls_.PostAndWait([f = frame_] { f->CheckDiskSpace(); });
  }
  void DownloadServerList() override { ::DownloadServerList(frame_->engine()); }
  void RunFourDayCheck() override { ::RunFourDayCheck(frame_->engine(), frame_->driver()); }
  void StartGameThread() override { frame_->StartGameThread(); }

  UiCallQueue& calls() { return calls_; }

 private:
  CMainFrame* frame_;
  UiCallQueue calls_;
};

SKIN_BEGIN_MESSAGE_MAP(CMainFrame, WindowImplBase)
SKIN_ON_MSGTYPE("click", CMainFrame::OnClick)
SKIN_ON_MSGTYPE("timer", CMainFrame::OnTimer)
SKIN_ON_MSGTYPE("selectchanged", CMainFrame::OnNothing)
SKIN_ON_MSGTYPE("itemclick", CMainFrame::OnNothing)
SKIN_ON_MSGTYPE("windowinit", CMainFrame::OnWindowInit)
SKIN_END_MESSAGE_MAP()

CMainFrame::CMainFrame(LauncherSystem* system)
    : system_(system),
      installDir_(SkinUI::CPaintManagerUI::GetInstancePath()),
      webHandler_(std::make_unique<LauncherWebHandler>()),
      progress_(ByteWeight()) {}

CMainFrame::~CMainFrame() = default;

void CMainFrame::OnFinalMessage(SkinUI::HWND hwnd) {
  if (bridge_) bridge_->calls().Close();
  WindowImplBase::OnFinalMessage(hwnd);
  delete this;
}

platform::LRESULT CMainFrame::OnCreate(unsigned, platform::WPARAM, platform::LPARAM, bool&) {
  switch (BuildFromSkin()) {
    case SkinBuild::kNoPackage:
      return 0;
    case SkinBuild::kNoSkin:
      system_->MessageBox("加载资源文件失败", "SkinUI", platform::MB_ICONERROR);
      EndProcess(1);
      return 0;
    case SkinBuild::kBuilt:
      break;
  }
  SetIcon(107);
  return 0;
}

void CMainFrame::InitWindow() {
  engine_ = std::make_unique<CVXDlownloader>(installDir_);
  engine_->CreateDownloadPool();
  engine_->SetSelfUpdateHooks(
      [] { platform::PostMessageToTitle(kMainWindowTitle, kSelfUpdateMessage, 0, 0); },
      &EndLauncherProcess);
  bridge_ = std::make_unique<Bridge>(this, GetWindowId());
  driver_ = std::make_unique<UpdateDriver>(engine_.get(), bridge_.get());
  FindControls();
  webConfig_ = DefaultWebConfig(engine_->releaseBaseUrl());
  LoadWebConfig(installDir_ + "web.xml", &webConfig_);
  NavigateHomePage();
  CreateFolderPath("LauncherConfig");
  engine_->LoadLaunchConf();
  RefreshVersionText();
  ShowStatus(Status_Connecting);
  engine_->SetUpdateMode(Normal);
  StartUpdateThread();
}

void CMainFrame::FindControls() {
  for (const char* name : kControlNames) controls_[name] = m_PaintManager.FindControl(name);
  if (CControlUI* c = controls_["ie"])
    ie_ = static_cast<SkinUI::CWebBrowserUI*>(c->GetInterface("WebBrowser"));
}

void CMainFrame::NavigateHomePage() {
  if (!ie_) return;
  ie_->SetDelayCreate(false);
  ie_->SetWebBrowserEventHandler(webHandler_.get());
  WriteLog("Navigate2 Begin!");
  ie_->Navigate2(webConfig_.homePage.c_str());
  WriteLog("Navigate2 End!");
}

CControlUI* CMainFrame::Control(const std::string& name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

void CMainFrame::SetText(const char* name, const std::string& text) {
  if (CControlUI* c = Control(name)) c->SetText(text);
}
void CMainFrame::SetVisible(const char* name, bool visible) {
  if (CControlUI* c = Control(name)) c->SetVisible(visible);
}
void CMainFrame::SetEnabled(const char* name, bool enabled) {
  if (CControlUI* c = Control(name)) c->SetEnabled(enabled);
}

int CMainFrame::StartUpdateThread() {
  threadEverStarted_ = true;
  return driver_->StartUpdateThread();
}

void CMainFrame::RefreshVersionText() {
  SetText("CurrentVerTxt", "");
}

void CMainFrame::SetProgress(float fraction) {
  CControlUI* bar = Control(kBar);
  if (bar) bar->SetAttribute("bkimage", ProgressDisplay::BarImage(bar->GetWidth(), fraction));
}

void CMainFrame::DisableEntryAndRepair() {
  if (Control(kEntryBtn) && engine_->GetUpdateMode() < FullDownload) SetEnabled(kEntryBtn, false);
  SetEnabled(kRepair, false);
}

void CMainFrame::ShowStatus(int code) {
  DisableEntryAndRepair();
  if (ClearsTexts(code)) {
    SetText(kSpeed, "");
    SetText(kPercent, "");
  }
  const bool cancelled = engine_->CancelRequested();
  switch (code) {
    case Status_Connecting:
    case Status_Paused:
    case Status_FetchingServerList:
    case Status_GameStarting:
      SetText(kPercent, StatusText(code));
      if (code == Status_FetchingServerList || code == Status_GameStarting)
        SetVisible(kEntryBtn, true);
      break;
    case Status_NetReachable:
      SetVisible(kPercent, true);
      SetText(kPercent, StatusText(code));
      if (Control(kEntryBtn) && engine_->GetUpdateMode() < FullDownload) {
        SetVisible(kEntryBtn, true);
        SetEnabled(kEntryBtn, false);
        WriteLog("m_pEntryBtn->SetEnabled(false);");
      }
      break;
    case Status_SelfUpdating:
      if (CControlUI* bar = Control(kBar)) bar->SetBkImage(kFullBarImage);
      SetText(kPercent, cancelled ? "" : StatusText(code));
      break;
    case Status_SizeReady:
      ShowDownloadProgress();
      break;
    case Status_Completed:
      ShowCompletion();
      break;
    case Status_Ready:
      ShowFileCheckProgress();
      break;
    case Status_DifferencesReady:
      ShowFileInfo();
      break;
    case Status_Cancelled:
      SetText(kSpeed, "");
      SetText(kPercent, "");
      if (CControlUI* bar = Control(kBar)) bar->SetBkImage(kFullBarImage);
      SetEnabled(kRepair, true);
      break;
    case Status_FirstLogin:
      ShowFirstDownloadProgress();
      break;
    default:
      if (IsFailureStatus(code)) ShowFailure(code);
      break;
  }
}

void CMainFrame::ShowFailure(int code) {
  SetText(kSpeed, "");
  SetText(kPercent, "");
  if (CControlUI* bar = Control(kBar)) {
    bar->SetBkImage("");
    bar->SetVisible(false);
  }
  if (Control(kEntryBtn)) {
    SetVisible(kEntryBtn, true);
    SetEnabled(kEntryBtn, false);
  }
  SetEnabled(kRepair, true);
  std::string text = StatusText(code, clientListFailedShown_);
  switch (code) {
    case Status_RestartFailed:
      if (CControlUI* bar = Control(kBar)) m_PaintManager.KillTimer(bar);
      break;
    case Status_ServerUnreachable:
      SetEnabled(kRepair, false);  // nothing to repair against
      break;
    case Status_ClientListMissing:
      clientListFailedShown_ = true;
      break;
    case Status_FilesNotReplaced:
      if (system_->IsWindowOpen("Kestrava - Kestrava")) text = "客户端正在运行中，请关闭后再更新";
      break;
    default:
      break;
  }
  SetText(kPercent, text);
}

void CMainFrame::ShowCompletion() {
  SetVisible(kFullBar, true);
  RefreshVersionText();
  SetVisible(kBar, false);
  WriteLog("Set Complete photo");
  SetEnabled(kRepair, true);
  if (Control(kEntryBtn)) {
    SetVisible(kEntryBtn, true);
    WriteLog("m_pEntryBtn->SetVisible(true)");
    SetEnabled(kEntryBtn, true);
    WriteLog("m_pEntryBtn->SetEnabled(true);");
  }
}

void CMainFrame::ApplyFrame(const ProgressDisplay::Frame& frame) {
  if (frame.fraction >= 0) SetProgress(frame.fraction);
  if (frame.setSpeedLabel) SetText(kSpeed, frame.speedLabel);
}

void CMainFrame::ShowDownloadProgress() {
  SetVisible(kBar, true);
  const ProgressCounters c = CountersOf(engine_->ReadProgress());
  ApplyFrame(progress_.DownloadTick(c, engine_->TakeBytesSinceTick(), firstDownload_,
                                    system_->TickCount()));
  SetVisible(kPercent, false);
}

void CMainFrame::ShowFirstDownloadProgress() {
  SetVisible(kPercent, false);
  SetVisible(kBar, true);
  const ProgressCounters c = CountersOf(engine_->ReadProgress());
  ApplyFrame(progress_.FirstDownloadTick(c, engine_->TakeBytesSinceTick(), system_->TickCount()));
}

void CMainFrame::ShowFileCheckProgress() {
  SetText(kSpeed, "");
  SetText(kPercent, "");
  SetProgress(firstDownload_ ? 0.9f : 0.0f);
  const CVXDlownloader::Progress p = engine_->ReadProgress();
  SetText(kPercent, ProgressDisplay::FileCheckText(p.checkedFileCount, p.listFileCount));
}

void CMainFrame::ShowFileInfo() {
  SetText(kSpeed, "");
  SetText(kPercent, "");
  SetProgress(firstDownload_ ? 0.9f : 0.0f);
  if (!engine_->CancelRequested()) SetText(kPercent, "正在获取下载文件信息 0.00%");
}

void CMainFrame::OnTimer(TNotifyUI& msg) {
  CControlUI* bar = Control(kBar);
  if (!bar || msg.sender != bar) return;
  const int id = static_cast<int>(msg.wParam);
  const int code = StatusOfTimer(id);
  if (code < 0) return;
  m_PaintManager.KillTimer(bar, static_cast<unsigned>(id));
  ShowStatus(code);
  m_PaintManager.SetTimer(bar, static_cast<unsigned>(id), TickPeriodMs(id));
}

void CMainFrame::OnWindowInit(TNotifyUI&) {
  if (firstFrameReport_.empty()) return;
  char ms[32];
  std::snprintf(ms, sizeof ms, "%.1f\n", platform::MillisecondsSinceProcessStart());
  WriteFileAtomically(firstFrameReport_, ms);
}

void CMainFrame::CheckDiskSpace() {
  CreateFolderPath("LauncherConfig");
  platform::DiskSpace space{};
  if (!system_->QueryDiskSpace(installDir_, &space)) return;
  WriteLog("Av=%lld,Total=%lld,Free=%lld", static_cast<long long>(space.available),
           static_cast<long long>(space.total), static_cast<long long>(space.free));
  const std::string& drive = space.mountPoint;
  CControlUI* reward = Control("Reward");
  if (space.free < 524288000ULL && reward) {
    reward->SetText(drive + "/盘 空间不足500MB！");
    reward->SetVisible(true);
  }
  if (engine_->GetUpdateMode() == FullDownload && space.free < 2147483648ULL && reward) {
    reward->SetText(drive + "/ 盘空间不足2GB！");
    reward->SetVisible(true);
  }
  if (space.free < 314572800ULL) system_->MessageBox(drive + "盘  空间不足！", "Kestrava", 0);
}

platform::LRESULT CMainFrame::OnMouseWheel(unsigned msg, platform::WPARAM wparam,
                                           platform::LPARAM lparam, bool& handled) {
  const platform::Point screen{platform::LParamX(lparam), platform::LParamY(lparam)};
  const platform::Point pt = m_hWnd ? m_hWnd->ScreenToClient(screen) : screen;
  if (ie_ && ie_->IsVisible() && ie_->GetPos().Contains(pt)) {
    handled = true;
    return CWindowWnd::HandleMessage(msg, wparam, lparam);
  }
  handled = false;
  return 0;
}

platform::LRESULT CMainFrame::OnSysCommand(unsigned msg, platform::WPARAM wparam,
                                           platform::LPARAM lparam, bool& handled) {
  if ((wparam & 0xFFF0) == platform::SC_CLOSE) {
    platform::PostQuitMessage(0);
    handled = true;
    return 0;
  }
  return DefWindowProc(msg, wparam, lparam);
}

platform::LRESULT CMainFrame::MessageHandler(unsigned msg, platform::WPARAM wparam,
                                             platform::LPARAM, bool& handled) {
  // Escape never closes the launcher.
  handled = msg == platform::WM_KEYDOWN && wparam == platform::VK_ESCAPE;
  return 0;
}

platform::LRESULT CMainFrame::HandleCustomMessage(unsigned msg, platform::WPARAM, platform::LPARAM,
                                                  bool& handled) {
  handled = true;
  CControlUI* bar = Control(kBar);
  switch (msg) {
    case kRefreshVersionMessage:
      RefreshVersionText();
      break;
    case kSelfUpdateMessage:
      if (bar) m_PaintManager.SetTimer(bar, kSelfUpdateTimer, 1000);
      ShowStatus(Status_SelfUpdating);
      break;
    case kChangeServerMessage:
      WriteLog("Change Update Server");
      engine_->SetUpdateMode(Recheck);
      StartUpdateThread();
      break;
    case kStopTimersMessage:
      if (bar) m_PaintManager.KillTimer(bar);
      break;
    case kRunQueuedCallsMessage:
      if (bridge_) bridge_->calls().RunPending();
      break;
    default:
      handled = false;
      break;
  }
  return 0;
}

void CMainFrame::OpenAddress(const char* logLine, const std::string& url) {
  if (logLine) WriteLog("%s", logLine);
  system_->OpenUrl(url);
}

void CMainFrame::OnClick(TNotifyUI& msg) {
  const std::string name = msg.sender ? msg.sender->GetName() : "";
  if (name == "ButtonMin") {
    SendMessageW(platform::WM_SYSCOMMAND, platform::SC_MINIMIZE, 0);
  } else if (name == "ButtonExit") {
    engine_->WriteLocalClient();
    WriteLog("Click ExitButton");
    EndProcess(0);
  } else if (name == kEntryBtn) {
    SetEnabled(kEntryBtn, false);
    WriteLog("strName==EntryBtn->m_pEntryBtn->SetEnabled(false)");
    if (threadEverStarted_) WriteLog("::CloseHandle(m_hUpdateThread)");
  } else if (name == "fullDown") {
    WriteLog("Click FullDoun Button");
    engine_->SetUpdateMode(FullDownload);
    SetVisible("fullDown", false);
    StartUpdateThread();
  } else if (name == kRepair) {
    WriteLog("Click Repair Button");
    engine_->SetUpdateMode(VerifyFiles);
    StartUpdateThread();
  } else if (name == "qqAdd") {
    OpenAddress(nullptr, webConfig_.groupUrl);
  } else if (name == "OfficialWebBtn") {
    OpenAddress("Click OfficialWebButton", "");
  } else if (name == "ForumBtn") {
    OpenAddress("Click ForumButton", " ");
  } else if (name == "GuideBtn") {
    ShowMessageBox(m_hWnd, system_, "温馨提示", "谢谢您的支持，敬请期待！", 0);
  } else if (name == "RechargeBtn") {
    OpenAddress("Click RechargeButton", "");
  } else if (name == "RegisterBtn") {
    OpenAddress("Click RegisterButton", "");
  } else if (name == "PauseBtn") {
    WriteLog("Click PauseButton");
    SetVisible(kFullBar, false);
    ShowStatus(Status_Paused);
    if (CControlUI* bar = Control(kBar)) m_PaintManager.KillTimer(bar);
  } else if (name == "ContinueBtn") {
    WriteLog("Click ContinueButton");
    SetVisible(kFullBar, true);
    if (CControlUI* bar = Control(kBar)) m_PaintManager.SetTimer(bar, kDownloadTimer, 100);
  }
}

void CMainFrame::EndProcess(int code) {
  // The page's event handler is left to the process's end: the UI thread may
  // be using it while another thread ends the process.
  system_->EndProcess(code);
}

void CMainFrame::StartGameThread() {
  try {
    std::thread(&CMainFrame::GameStartThreadProc, this).detach();
  } catch (const std::system_error&) {
    WriteLogTag("Error", "Start Game Thread Fail");
  }
}

// Polls the page's start text every 100 ms once a pass has completed; the
// first non-empty one starts the game and ends the launcher.
void CMainFrame::GameStartThreadProc() {
  WriteLog("Click EntryButton");
  for (;;) {
    const std::string start = ie_ ? WideToOem(ie_->GetReturnCode()) : "";
    if (!start.empty() && driver_->gameStartAllowed() && !gameStarted_.exchange(true)) {
      const std::string commandLine = start + "&" + webConfig_.platform;
      std::string exe = WideToOem(installDir_) + "KestravaMini.exe";
      if (!IsPlainFile(exe)) exe = WideToOem(installDir_) + "Kestrava.exe";
      if (system_->StartGame(exe, commandLine) != 0) WriteLogA("启动游戏失败");
      EndProcess(0);
      return;  // only reached when a test's system does not end the process
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}
