// The update-list step, the start of every pass: the signed release's
// release.sig (when releases are signed), the server list file, update.xml
// with the release version, the launcher's self-update, and a local copy of
// the published file list that belongs to the current release.
//
// Thread-safety: runs on the update thread only.
#pragma once

#include <string>

#include "update/types.h"

class FileFetcher;
class Installation;
class SelfUpdateStep;

class UpdateListStep {
 public:
  // All borrowed; they outlive the step.
  UpdateListStep(Installation* state, FileFetcher* fetcher, SelfUpdateStep* selfUpdate);

  // Fetches LauncherConfig/release.sig and verifies its signature and
  // serial. 32, 36 when cancelled, or 4 when it is missing, not signed by a
  // trusted key, or older than a release accepted before. Unsigned mode: 32
  // at once.
  UpdateStatus FetchReleaseSignature();
  // Mirrors the server list, reads update.xml, runs the self-update and
  // refreshes LauncherConfig/client.md5 when it is not the announced one.
  // 32 ready, or 2, 4, 8, 9, 25, 35, 36.
  UpdateStatus GetUpdateList();
  UpdateStatus CheckUpdateList();        // modes Normal, Recheck
  UpdateStatus CheckUpdateListVerify();  // mode VerifyFiles: the client list is always fetched

  const std::string& serverVersion() const { return serverVersion_; }

 private:
  UpdateStatus ReadUpdateXml(bool verify, std::string* expectedCode);
  // ReadUpdateXml, then the launcher's own update: the common start of both
  // list checks.
  UpdateStatus ReadVersionAndSelfUpdate(bool verify, std::string* expectedCode);
  // Admits for the pass each other release address whose update.xml
  // announces the same client list (and, for a signed release, whose
  // release.sig has the same serial); the others are skipped.
  void AdmitOtherAddresses(const std::string& expectedCode);
  // Whether the release below `base` is the one the metadata came from;
  // the reason in *why when not.
  bool SameRelease(const std::string& base, const std::string& expectedCode, std::string* why);
  bool SameSerial(const std::string& base, std::string* why);
  UpdateStatus UnpackClientList(const std::string& archive, const std::string& expected,
                                const char* mismatchLine);

  Installation& state_;
  FileFetcher& fetcher_;
  SelfUpdateStep& selfUpdate_;
  std::string serverVersion_;
};
