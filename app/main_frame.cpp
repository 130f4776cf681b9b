#include "app/main_frame.h"

#include <chrono>
#include <cstring>
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

struct PhaseTimer {
  ProgressTimerId id;
  int firstPeriodMs;
};

PhaseTimer TimerOf(ProgressPhase phase) {
  switch (phase) {
    case ProgressPhase::kFileCheck:
      return {kFileCheckTimer, 1000};
    case ProgressPhase::kFileInfo:
      return {kFileInfoTimer, 1000};
    case ProgressPhase::kDownload:
      return {kDownloadTimer, 100};
    case ProgressPhase::kFirstDownload:
      return {kFirstDownloadTimer, 100};
    case ProgressPhase::kSelfUpdate:
      return {kSelfUpdateTimer, 1000};
  }
  return {kSelfUpdateTimer, 1000};
}

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

// The status a tick of the timer shows; false for a timer of another kind.
bool StatusOfTimer(int id, UpdateStatus* status) {
  switch (id) {
    case kFileCheckTimer:
      *status = Status_Ready;
      return true;
    case kFileInfoTimer:
      *status = Status_DifferencesReady;
      return true;
    case kDownloadTimer:
      *status = Status_SizeReady;
      return true;
    case kFirstDownloadTimer:
      *status = Status_FirstLogin;
      return true;
    case kSelfUpdateTimer:
      *status = Status_SelfUpdating;
      return true;
    default:
      return false;
  }
}

bool ClearsTexts(UpdateStatus code) {
  switch (code) {
    case Status_Connecting:
    case Status_NetReachable:
    case Status_Paused:
    case Status_SelfUpdating:
    case Status_Completed:
    case Status_FetchingServerList:
    case Status_GameStarting:
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
// queued. Each call posts one kRunQueuedCallsMessage and each such message
// runs one call, so the calls keep their place among the other messages the
// same thread posts (the self-update's 11025 must not be overtaken by the
// calls queued after it). Thread-safe.
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

  // UI thread: the oldest call, once per kRunQueuedCallsMessage.
  void RunNext() {
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

// What the driver tells the window, from the pass thread: every event is
// queued for the UI thread, where the window maps it to its controls and
// timers.
class CMainFrame::Bridge : public UpdateUi {
 public:
  Bridge(CMainFrame* frame, platform::WindowId window) : frame_(frame), calls_(window) {}

  void ShowStatus(UpdateStatus status) override {
    calls_.Post([f = frame_, status] { f->ShowStatus(status); });
  }
  void StartProgress(ProgressPhase phase) override {
    calls_.Post([f = frame_, phase] { f->StartProgress(phase); });
  }
  void StopProgress(ProgressPhase phase) override {
    calls_.Post([f = frame_, phase] { f->StopProgress(phase); });
  }
  void ShowEntry(EntryState state) override {
    calls_.Post([f = frame_, state] { f->ShowEntry(state); });
  }
  void EndFirstDownload() override {
    calls_.Post([f = frame_] { f->firstDownload_ = false; });
  }
  // The pass waits while the player reads a low-disk warning.
  void CheckDiskSpace() override {
    calls_.PostAndWait([f = frame_] { f->CheckDiskSpace(); });
  }

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
    case SkinBuild::kNoPackage:  // no skin can be built without its package
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
  UpdateDriver::Options options;
  options.gameStartHook = [this] { StartGameThread(); };
  driver_ = std::make_unique<UpdateDriver>(engine_.get(), bridge_.get(), std::move(options));
  FindControls();
  webConfig_ = DefaultWebConfig(engine_->releaseBaseUrl());
  LoadWebConfig(installDir_ + "web.xml", &webConfig_);
  engine_->SetRateLimit(webConfig_.limitRate);
  NavigateHomePage();
  CreateFolderPath(engine_->layout().configFolder());
  engine_->LoadLaunchConf();
  RefreshVersionText();
  ShowStatus(Status_Connecting);
  engine_->SetUpdateMode(UpdateMode::Normal);
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
  if (Control(kEntryBtn) && engine_->GetUpdateMode() < UpdateMode::FullDownload)
    SetEnabled(kEntryBtn, false);
  SetEnabled(kRepair, false);
}

void CMainFrame::ShowEntry(EntryState state) {
  switch (state) {
    case EntryState::kPassStarting:
    case EntryState::kFullDownloadStarting:
      SetVisible(kPercent, true);
      if (state == EntryState::kPassStarting)
        LockEntry("Start ThreadProcess m_pEntryBtn->SetEnabled(false);");
      SetEnabled(kRepair, false);
      SetVisible(kFullBar, false);
      break;
    case EntryState::kLocked:
      LockEntry("m_pEntryBtn->SetEnabled(false);");
      break;
    case EntryState::kReadyToPlay:
      if (!Control(kEntryBtn)) break;
      SetVisible(kEntryBtn, true);
      WriteLog("m_pEntryBtn->SetVisible(true)");
      SetEnabled(kEntryBtn, true);
      WriteLog("m_pEntryBtn->SetEnabled(true);");
      break;
  }
}

// Shows the entry but lets nobody press it; logLine may be null.
void CMainFrame::LockEntry(const char* logLine) {
  if (!Control(kEntryBtn)) return;
  SetVisible(kEntryBtn, true);
  SetEnabled(kEntryBtn, false);
  if (logLine) WriteLog("%s", logLine);
}

void CMainFrame::StartProgress(ProgressPhase phase) {
  if (phase == ProgressPhase::kFirstDownload) {
    firstDownload_ = true;
    SetVisible("giftpack", true);
  }
  const PhaseTimer timer = TimerOf(phase);
  ArmTimer(timer.id, timer.firstPeriodMs);
  if (phase == ProgressPhase::kDownload) SetText(kPercent, "");
}

void CMainFrame::StopProgress(ProgressPhase phase) {
  StopTimer(TimerOf(phase).id);
  if (phase == ProgressPhase::kDownload) SetVisible(kFullBar, false);
}

void CMainFrame::ArmTimer(ProgressTimerId id, int periodMs) {
  if (CControlUI* bar = Control(kBar))
    m_PaintManager.SetTimer(bar, static_cast<unsigned>(id), periodMs);
}

void CMainFrame::StopTimer(ProgressTimerId id) {
  if (CControlUI* bar = Control(kBar)) m_PaintManager.KillTimer(bar, static_cast<unsigned>(id));
}

void CMainFrame::ShowStatus(UpdateStatus code) {
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
      if (engine_->GetUpdateMode() < UpdateMode::FullDownload) ShowEntry(EntryState::kLocked);
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

void CMainFrame::ShowFailure(UpdateStatus code) {
  SetText(kSpeed, "");
  SetText(kPercent, "");
  if (CControlUI* bar = Control(kBar)) {
    bar->SetBkImage("");
    bar->SetVisible(false);
  }
  LockEntry(nullptr);
  SetEnabled(kRepair, true);
  // The download ticks hide the status text; a failure must be read.
  SetVisible(kPercent, true);
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
  ShowEntry(EntryState::kReadyToPlay);
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
  UpdateStatus code;
  if (!StatusOfTimer(id, &code)) return;
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
  CreateFolderPath(engine_->layout().configFolder());
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
  if (engine_->GetUpdateMode() == UpdateMode::FullDownload && space.free < 2147483648ULL &&
      reward) {
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
      StartProgress(ProgressPhase::kSelfUpdate);
      ShowStatus(Status_SelfUpdating);
      break;
    case kChangeServerMessage:
      WriteLog("Change Update Server");
      engine_->SetUpdateMode(UpdateMode::Recheck);
      StartUpdateThread();
      break;
    case kStopTimersMessage:
      if (bar) m_PaintManager.KillTimer(bar);
      break;
    case kRunQueuedCallsMessage:
      if (bridge_) bridge_->calls().RunNext();
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
    engine_->SetUpdateMode(UpdateMode::FullDownload);
    SetVisible("fullDown", false);
    StartUpdateThread();
  } else if (name == kRepair) {
    WriteLog("Click Repair Button");
    engine_->SetUpdateMode(UpdateMode::VerifyFiles);
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
    ArmTimer(kDownloadTimer, 100);
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
// first non-empty one starts the game and ends the launcher. A game that
// cannot start keeps the launcher open: the player is told why and may
// repair or press the page's button again.
void CMainFrame::GameStartThreadProc() {
  WriteLog("Click EntryButton");
  for (;;) {
    const std::string start = ie_ ? WideToOem(ie_->GetReturnCode()) : "";
    if (!start.empty() && driver_->gameStartAllowed() && !gameStarted_.exchange(true)) {
      std::string reason;
      if (StartGame(start + "&" + webConfig_.platform, &reason)) {
        EndProcess(0);
        return;  // only reached when a test's system does not end the process
      }
      ReportGameStartFailure(reason);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

bool CMainFrame::StartGame(const std::string& commandLine, std::string* reason) {
  const std::string folder = WideToOem(installDir_);
  std::string exe = folder + "KestravaMini.exe";
  if (!IsPlainFile(exe)) exe = folder + "Kestrava.exe";
  GameCommand command;
  if (!PrepareGameCommand(exe, commandLine, webConfig_.gameRunner, &command, reason)) return false;
  const int error = system_->StartGame(command, folder);
  if (error != 0) *reason = command.program + ": " + std::strerror(error);
  return error == 0;
}

// Game-start thread. The start text is cleared so that only the page's next
// call tries again, not every poll.
void CMainFrame::ReportGameStartFailure(const std::string& reason) {
  WriteLogA("启动游戏失败");
  WriteLogTag("Error", "Cannot start the game: %s", reason.c_str());
  if (ie_) ie_->SetReturnCode("");
  gameStarted_ = false;
  if (!bridge_) return;
  bridge_->calls().Post([this, reason] {
    ShowMessageBox(m_hWnd, system_, "温馨提示", "启动游戏失败\n" + reason, 0);
  });
}
