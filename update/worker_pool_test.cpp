#include "update/worker_pool.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "diag/log.h"
#include "platform/testing/fake_http.h"
#include "tests/test_files.h"
#include "update/downloader.h"
#include "update/md5.h"
#include "update/testing/fake_install_state.h"

namespace {

using testfiles::Md5Of;
using testfiles::ReadAll;
using testfiles::WriteAll;

namespace fs = std::filesystem;

class WorkerPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testfiles::MakeTempFolder("kestrava-pool");
    SetLogFile(dir_ + "test.log");
    engine_ = std::make_unique<CVXDlownloader>(dir_ + "game/");
    engine_->SetHttpFactory(std::make_unique<FakeHttpClientFactory>(&server_));
  }
  void TearDown() override {
    engine_.reset();
    fs::remove_all(dir_);
  }

  // Collects what the workers hand on until nothing is pending any more,
  // the way the apply loops consume the pool.
  std::vector<DownloadTask> Drain(CDownloaderThreadPool* pool) {
    std::vector<DownloadTask> got;
    pool->ApplyEachFinished([&](const DownloadTask& t) { got.push_back(t); });
    return got;
  }

  DownloadTask Task(const std::string& name, const std::string& body,
                    TaskKind kind = TaskKind::Plain) {
    std::string url = "http://fake/" + name;
    server_.Put(url, {200, body});
    DownloadTask t;
    t.TaskKind = kind;
    t.downloadUrl = url;
    t.downloadPath = dir_ + "game/LauncherConfig/update/" + name;
    t.targetPath = dir_ + "game/" + name;
    t.size = static_cast<int64_t>(body.size());
    t.code = Md5Of(body);
    return t;
  }

  // A real 7z archive made by Debian's 7-Zip from files under a folder.
  std::string Make7z(const std::string& name, const std::map<std::string, std::string>& files,
                     const std::string& type = "7z") {
    std::string src = dir_ + "src-" + name + "/";
    for (const auto& [path, data] : files) WriteAll(src + path, data);
    std::string archive = dir_ + name;
    std::string cmd =
        "cd '" + src + "' && 7zz a -bd -y -t" + type + " '" + archive + "' . >/dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    return ReadAll(archive);
  }

  std::string Log() { return ReadAll(dir_ + "test.log"); }

  std::string dir_;
  FakeHttpServer server_;
  std::unique_ptr<CVXDlownloader> engine_;
};

// With no room left for another thread's stack, the pool starts without
// the workers it cannot have, and a full check digests on this thread:
// the process goes on instead of ending on an uncaught exception.
TEST_F(WorkerPoolTest, ThreadsThatCannotBeStartedAreLeftOut) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit and the sanitizer's shadow memory do not mix";
#endif
  WriteAll(dir_ + "game/LauncherConfig/client.md5",
           "<Filelist><Files><File Path=\"a.bin\" Code=\"x\" Size=\"1\"/></Files></Filelist>");
  WriteAll(dir_ + "game/LauncherConfig/localclient.md5",
           "<Filelist><Files><File Path=\"a.bin\" Code=\"x\" Size=\"1\"/></Files></Filelist>");
  WriteAll(dir_ + "game/a.bin", "a");
  // In a process started afresh: a forked one would inherit the thread
  // stacks that glibc keeps from earlier cases and start threads in them.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        long pages = 0;
        std::ifstream("/proc/self/statm") >> pages;
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * 4096 + (2 << 20);
        setrlimit(RLIMIT_AS, &limit);
        CDownloaderThreadPool pool(&engine_->installation(), &engine_->fetcher());
        pool.StartWorkers(4);
        engine_->SetUpdateMode(static_cast<UpdateMode>(7));  // unknown: a full check
        const bool ok = pool.WorkerCount() == 0 &&
                        engine_->GetUpdateMode() == UpdateMode::VerifyFiles &&
                        engine_->GetDifferentFiles() == Status_DifferencesReady &&
                        engine_->GetDownloadTaskCount() == 1;
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The pool alone, with a stand-in for the installation: queueing and the
// pending targets need no engine.
TEST_F(WorkerPoolTest, TenTasksOnFourBusyWorkersQueue3322) {
  FakeInstallState state(dir_ + "game/");
  FileFetcher fetcher(&state);
  CDownloaderThreadPool pool(&state, &fetcher);
  for (int i = 0; i < 4; ++i)
    pool.AddWorker(std::make_unique<CDownloaderThread>(&state, &fetcher, &pool));  // not started
  for (int i = 0; i < 10; ++i) {
    DownloadTask t;
    // Appended rather than "f" + ...: GCC 12 at -O3 warns falsely (-Wrestrict) on that.
    t.targetPath = std::string("f").append(std::to_string(i));
    t.dwHaveBeenDownloadLength = 77;
    pool.AddTask(t, true);
  }
  std::vector<size_t> lengths;
  for (size_t i = 0; i < pool.WorkerCount(); ++i) lengths.push_back(pool.Worker(i)->QueueLength());
  EXPECT_EQ(lengths, (std::vector<size_t>{3, 3, 2, 2}));
  EXPECT_EQ(pool.PendingCount(), 10u);
}

TEST_F(WorkerPoolTest, DropRemovesOneEntryPerCallAndNoWorkersQueueNothing) {
  FakeInstallState state(dir_ + "game/");
  FileFetcher fetcher(&state);
  CDownloaderThreadPool pool(&state, &fetcher);
  DownloadTask t;
  t.targetPath = "same";
  pool.AddTask(t, true);
  pool.AddTask(t, true);
  pool.DropPendingTask(t);
  EXPECT_EQ(pool.PendingCount(), 1u);
  CDownloaderThread never(&state, &fetcher, &pool);
  EXPECT_FALSE(never.Stop());
  EXPECT_EQ(never.State(), WorkerState::Idle);
}

TEST_F(WorkerPoolTest, VerifiedFilesAreHandedOnAndBadOnesDropped) {
  engine_->CreateDownloadPool();
  CDownloaderThreadPool* pool = engine_->pool();
  ASSERT_EQ(pool->WorkerCount(), 4u);
  DownloadTask good = Task("data/good.bin", std::string(3000, 'g'));
  DownloadTask bad = Task("data/bad.bin", std::string(3000, 'b'));
  bad.code = Md5Of("something else");
  DownloadTask missing = Task("data/missing.bin", "x");
  server_.Put(missing.downloadUrl, {404, "no"});
  for (DownloadTask* t : {&good, &bad, &missing}) pool->AddTask(*t, true);

  std::vector<DownloadTask> got = Drain(pool);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].targetPath, good.targetPath);
  EXPECT_EQ(pool->PendingCount(), 0u);
  std::string log = Log();
  EXPECT_NE(log.find("Error ! MD5 Of bad.bin Error, RightMD5:" + bad.code +
                     ", ErrorMD5:" + Md5Of(std::string(3000, 'b')) + ", FileSize:3000"),
            std::string::npos);
  EXPECT_NE(log.find("Download " + missing.downloadUrl + " Failed"), std::string::npos);
}

TEST_F(WorkerPoolTest, SevenZipTaskIsUnpackedVerifiedAndRenamedIntoPlace) {
  std::string content(20000, 'z');
  std::string archive = Make7z("one.7z", {{"one.txt", content}});
  engine_->CreateDownloadPool();
  CDownloaderThreadPool* pool = engine_->pool();
  DownloadTask t = Task("one.txt.7z", archive, TaskKind::SevenZip);
  t.targetPath = dir_ + "game/one.txt";
  t.zipSize = static_cast<int64_t>(archive.size());
  t.size = static_cast<int64_t>(content.size());
  t.code = Md5Of(content);
  DownloadTask wrong = t;
  wrong.downloadUrl = "http://fake/wrong.7z";
  wrong.downloadPath = dir_ + "game/LauncherConfig/update/wrong.7z";
  wrong.targetPath = dir_ + "game/wrong.txt";
  server_.Put(wrong.downloadUrl, {200, archive});
  wrong.code = Md5Of("other");
  WriteAll(wrong.targetPath, "installed");
  pool->AddTask(t, true);
  pool->AddTask(wrong, true);

  std::vector<DownloadTask> got = Drain(pool);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].targetPath, t.targetPath);
  EXPECT_EQ(ReadAll(t.targetPath), content);
  EXPECT_EQ(ReadAll(wrong.targetPath), "installed");  // a bad archive replaces nothing
  for (const auto& e : fs::directory_iterator(dir_ + "game"))
    EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
}

TEST_F(WorkerPoolTest, ZipTaskIsAppliedLikeASevenZipOne) {
  std::string content = "zipped content";
  std::string archive = Make7z("two.zip", {{"two.txt", content}}, "zip");
  engine_->CreateDownloadPool();
  DownloadTask t = Task("two.txt.zip", archive, TaskKind::Zip);
  t.targetPath = dir_ + "game/two.txt";
  t.zipSize = static_cast<int64_t>(archive.size());
  t.code = Md5Of(content);
  engine_->pool()->AddTask(t, true);
  EXPECT_EQ(Drain(engine_->pool()).size(), 1u);
  EXPECT_EQ(ReadAll(t.targetPath), content);
}

TEST_F(WorkerPoolTest, CancelDropsEveryQueuedTaskSoTheWaiterEnds) {
  engine_->RequestCancel();
  engine_->CreateDownloadPool();
  for (int i = 0; i < 12; ++i) {
    DownloadTask t = Task(std::string("c").append(std::to_string(i)), std::string(5000, 'c'));
    engine_->pool()->AddTask(t, true);
  }
  EXPECT_TRUE(Drain(engine_->pool()).empty());
  EXPECT_EQ(engine_->pool()->PendingCount(), 0u);
}

TEST_F(WorkerPoolTest, PackageIsHandedOnBeforeItsFiles) {
  std::string archive = Make7z(
      "data.7z",
      {{"data.7z.md5", "<Filelist/>"}, {"a/x.dat", "xx"}, {"a/b/y.dat", "yyy"}, {"z.dat", "z"}});
  engine_->CreateDownloadPool();
  CDownloaderThreadPool* pool = engine_->pool();
  DownloadTask pkg;
  pkg.TaskKind = TaskKind::Package;
  pkg.size = static_cast<int64_t>(archive.size());
  pkg.downloadUrl = "http://fake/data.7z";
  pkg.downloadPath = dir_ + "game/data.7z";
  pkg.targetPath = "data.7z";
  server_.Put(pkg.downloadUrl, {200, archive});
  pool->AddTask(pkg, true);

  std::vector<DownloadTask> got = Drain(pool);
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].TaskKind, TaskKind::Package);
  std::set<std::string> files;
  for (size_t i = 1; i < got.size(); ++i) {
    EXPECT_EQ(got[i].TaskKind, TaskKind::Plain);
    EXPECT_TRUE(got[i].downloadUrl.empty());
    files.insert(got[i].targetPath);
  }
  EXPECT_EQ(files, (std::set<std::string>{"a/x.dat", "a/b/y.dat", "z.dat"}));
  EXPECT_EQ(ReadAll(dir_ + "game/a/b/y.dat"), "yyy");
  EXPECT_GE(engine_->ReadProgress().finishedFileCount, 4);
}

TEST_F(WorkerPoolTest, StopTakesEffectWithinOnePieceAndKeepsThePartialFile) {
  engine_->CreateDownloadPool();
  CDownloaderThreadPool* pool = engine_->pool();
  std::atomic<bool> reached{false};
  std::atomic<bool> release{false};
  server_.SetBeforePiece([&](const std::string&, int index) {
    if (index != 3) return;
    reached = true;
    while (!release) std::this_thread::yield();
  });
  DownloadTask t = Task("big.bin", std::string(100000, 'q'));
  DownloadTask later = Task("later.bin", "later");
  pool->AddTask(t, true);
  CDownloaderThread* worker = pool->Worker(0);
  worker->Enqueue(later);  // behind t on the same worker
  while (!reached) std::this_thread::yield();
  std::thread stopper([&] { worker->Stop(); });
  while (worker->State() != WorkerState::StopRequested) std::this_thread::yield();
  release = true;
  stopper.join();

  EXPECT_EQ(worker->State(), WorkerState::Idle);
  EXPECT_EQ(ReadAll(t.downloadPath), std::string(3000, 'q'));
  EXPECT_EQ(server_.CountRequests(later.downloadUrl), 0);
  EXPECT_NE(Log().find("Error! Thread close down load file [" + t.downloadPath + "] failed! "),
            std::string::npos);
  EXPECT_EQ(pool->FinishedCount(), 0u);
}

// A worker whose queue runs dry takes over the tasks still waiting behind a
// long one on another worker, instead of idling while they wait.
TEST_F(WorkerPoolTest, TasksWaitingBehindALongOneAreTakenOverByAnIdleWorker) {
  CDownloaderThreadPool pool(&engine_->installation(), &engine_->fetcher());
  for (int i = 0; i < 2; ++i) {
    pool.AddWorker(
        std::make_unique<CDownloaderThread>(&engine_->installation(), &engine_->fetcher(), &pool));
  }
  DownloadTask longOne = Task("long.bin", std::string(10000, 'l'));
  std::vector<DownloadTask> small;
  for (int i = 0; i < 4; ++i) small.push_back(Task("s" + std::to_string(i), "small"));
  std::atomic<int> smallFetched{0};
  std::atomic<bool> allBeforeLong{false};
  server_.SetBeforePiece([&](const std::string& url, int index) {
    if (url != longOne.downloadUrl) {
      ++smallFetched;
      return;
    }
    if (index != 3) return;
    // Held until the others are fetched; the bound only keeps a failure
    // from hanging the run.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (smallFetched < 4 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    allBeforeLong = smallFetched == 4;
  });
  // Queued 3322-style: the long task and two small ones on the first
  // worker, two small ones on the second.
  pool.AddTask(longOne, true);
  for (const DownloadTask& t : small) pool.AddTask(t, true);
  ASSERT_EQ(pool.Worker(0)->QueueLength(), 3u);
  for (size_t i = 0; i < pool.WorkerCount(); ++i) ASSERT_TRUE(pool.Worker(i)->Start());

  EXPECT_EQ(Drain(&pool).size(), 5u);
  EXPECT_TRUE(allBeforeLong);
  EXPECT_TRUE(ReadAll(longOne.downloadPath) == std::string(10000, 'l'));
  for (const DownloadTask& t : small)
    EXPECT_EQ(server_.CountRequests(t.downloadUrl), 1) << t.targetPath;
  pool.StopAll();
}

TEST_F(WorkerPoolTest, AddDownloadTaskBuildsPathsAndDropsWrongLeftovers) {
  engine_->SetReleaseBaseUrl("http://host/rel/");
  FileEntry e{"data/map.bin", Md5Of("map"), 3, ZipValueOf(TaskKind::SevenZip), 40};
  WriteAll(dir_ + "game/LauncherConfig/update/data/map.bin.7z", "stale");
  engine_->AddDownloadTask(e, 1);
  FileEntry hostile{"../../etc/passwd", "", 1, ZipValueOf(TaskKind::Plain), 0};
  engine_->AddDownloadTask(hostile, 0);
  ASSERT_EQ(engine_->GetDownloadTaskCount(), 1);
  const DownloadTask& t = engine_->downloadTasks()[0];
  EXPECT_EQ(t.downloadUrl, "http://host/rel/data/map.bin.7z");
  EXPECT_EQ(t.downloadPath, dir_ + "game/LauncherConfig/update/data/map.bin.7z");
  EXPECT_EQ(t.targetPath, dir_ + "game/data/map.bin");
  EXPECT_EQ(t.zipSize, 40);
  EXPECT_EQ(t.fixNameCase, 1);
  EXPECT_FALSE(fs::exists(t.downloadPath));
}

}  // namespace

namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Release addresses a, b and c; each test says what each serves.
class WorkerFailoverTest : public WorkerPoolTest {
 protected:
  DownloadTask Served(const std::string& name, const std::string& body,
                      const std::map<std::string, FakeResource>& byAddress) {
    DownloadTask t = Task(name, body);
    t.downloadUrl = "http://a/rel/" + name;
    for (const auto& [address, resource] : byAddress) server_.Put(address + name, resource);
    return t;
  }
  std::vector<DownloadTask> RunOne(const std::string& urls,
                                   const std::vector<DownloadTask>& tasks) {
    engine_->SetReleaseBaseUrl(urls);
    MirrorSet& mirrors = engine_->fetcher().Mirrors();
    for (size_t i = 1; i < mirrors.Count(); ++i) mirrors.Admit(i);
    CDownloaderThreadPool pool(&engine_->installation(), &engine_->fetcher());
    pool.AddWorker(
        std::make_unique<CDownloaderThread>(&engine_->installation(), &engine_->fetcher(), &pool));
    for (const DownloadTask& t : tasks) pool.AddTask(t, true);
    pool.Worker(0)->Run();  // on this thread
    return Drain(&pool);
  }
};

const char kA[] = "http://a/rel/";
const char kB[] = "http://b/rel/";
const char kC[] = "http://c/rel/";

}  // namespace

TEST_F(WorkerFailoverTest, ServerErrorsAndWrongBytesAreFetchedFromTheNextAddress) {
  const std::string body(3000, 'k');
  const std::string wrong(3000, 'w');
  // g: a answers 503, b serves. f: a rests by then, b serves wrong bytes,
  // c serves them right.
  std::vector<DownloadTask> tasks = {
      Served("g.bin", body, {{kA, {503, "busy"}}, {kB, {200, body}}}),
      Served("f.bin", body, {{kA, {200, body}}, {kB, {200, wrong}}, {kC, {200, body}}})};
  std::vector<DownloadTask> got = RunOne("http://a/rel/ http://b/rel/ http://c/rel/", tasks);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(ReadAll(tasks[0].downloadPath), body);
  EXPECT_EQ(ReadAll(tasks[1].downloadPath), body);
  EXPECT_EQ(server_.CountRequests("http://a/rel/g.bin"), 1);
  EXPECT_EQ(server_.CountRequests("http://b/rel/g.bin"), 1);
  EXPECT_EQ(server_.CountRequests("http://a/rel/f.bin"), 0);
  EXPECT_EQ(server_.CountRequests("http://b/rel/f.bin"), 1);
  EXPECT_EQ(server_.CountRequests("http://c/rel/f.bin"), 1);
  const std::string log = Log();
  EXPECT_NE(log.find("Release address http://a/rel/ failed (a server error)"), std::string::npos);
  EXPECT_NE(log.find("Release address http://b/rel/ failed (a file with the wrong MD5)"),
            std::string::npos);
  EXPECT_EQ(Count(log, "Release files now come from http://b/rel/"), 1u) << log;
  EXPECT_EQ(Count(log, "Release files now come from http://c/rel/"), 1u) << log;

  // One address: a wrong file is dropped as it always was, a 503 costs the
  // whole attempt budget.
  tasks = {Served("h.bin", body, {{kA, {200, wrong}}}),
           Served("i.bin", body, {{kA, {503, "busy"}}})};
  EXPECT_TRUE(RunOne(kA, tasks).empty());
  EXPECT_EQ(server_.CountRequests("http://a/rel/h.bin"), 1);
  EXPECT_EQ(server_.CountRequests("http://a/rel/i.bin"), 21);
}

TEST_F(WorkerFailoverTest, ArchivesAndPackagesServedWrongAreFetchedFromTheNextAddress) {
  // one.txt.7z: a serves bytes that do not unpack, b an archive of the
  // wrong file, c the right one. The package: a garbage, b right.
  const std::string content(20000, 'z');
  const std::string archive = Make7z("one.7z", {{"one.txt", content}});
  const std::string other = Make7z("other.7z", {{"one.txt", std::string(20000, 'y')}});
  ASSERT_EQ(other.size(), archive.size());
  const std::string garbage(archive.size(), 'x');
  DownloadTask packed = Served("one.txt.7z", archive,
                               {{kA, {200, garbage}}, {kB, {200, other}}, {kC, {200, archive}}});
  packed.TaskKind = TaskKind::SevenZip;
  packed.targetPath = dir_ + "game/one.txt";
  packed.zipSize = static_cast<int64_t>(archive.size());
  packed.size = static_cast<int64_t>(content.size());
  packed.code = Md5Of(content);
  std::vector<DownloadTask> got = RunOne("http://a/rel/ http://b/rel/ http://c/rel/", {packed});
  ASSERT_EQ(got.size(), 1u) << Log();
  EXPECT_EQ(ReadAll(packed.targetPath), content);
  for (const char* address : {kA, kB, kC}) {
    EXPECT_EQ(server_.CountRequests(std::string(address) + "one.txt.7z"), 1) << address;
  }
  std::string log = Log();
  EXPECT_NE(log.find("Archive Of one.txt Wrong From http://a/rel/, Fetching It Again Elsewhere"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("MD5 Of one.txt Wrong From http://b/rel/, Fetching It Again Elsewhere"),
            std::string::npos);

  const std::string data = Make7z("data.7z", {{"data.7z.md5", "<Filelist/>"}, {"z.dat", "zz"}});
  DownloadTask pkg =
      Served("data.7z", data, {{kA, {200, std::string(data.size(), 'x')}}, {kB, {200, data}}});
  pkg.TaskKind = TaskKind::Package;
  pkg.targetPath = "data.7z";
  got = RunOne("http://a/rel/ http://b/rel/", {pkg});
  ASSERT_EQ(got.size(), 2u) << Log();
  EXPECT_EQ(ReadAll(dir_ + "game/z.dat"), "zz");
  EXPECT_EQ(server_.CountRequests("http://a/rel/data.7z"), 1);
  EXPECT_EQ(server_.CountRequests("http://b/rel/data.7z"), 1);
}
