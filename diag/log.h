// The day log: one file per day on which the launcher started, under
// "launcherlog/", one record per call.
//
// Thread-safety: every call may come from any thread. A record is formatted
// by its caller and written with one append under one process-wide lock, so
// records never interleave. The file stays open between records and readable
// by other programs; when it is moved or deleted away, a record of the next
// second starts a new file at the same path.
//
// Record on disk: CR LF, "[YYYY-MM-DD hh:mm:ss] ", "[tag] " when a tag is
// given, then the message; every line feed inside it is stored as CR LF too.
#pragma once

#include <string>

// Empty path: creates "launcherlog" under the current folder and chooses
// "launcherlog/YYYY-MM-DD.log" for today. Other paths are used as given.
// Always true.
bool SetLogFile(std::string path);

// The file records go to; "" until SetLogFile ran or the first record chose
// the default.
std::string LogFilePath();

// Appends an untagged record; false when the file cannot be opened.
bool WriteLog(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Appends a record with "[tag] " before the message; a null or empty tag
// gives an untagged record.
bool WriteLogTag(const char* tag, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Finishes the record being written, if any, and ends logging: later calls
// write nothing and return false (until SetLogFile chooses a file again).
// Called just before the process ends with threads still running.
void CloseLog();

// Formats at most 1023 bytes (longer output is cut there, on a UTF-8
// boundary) and appends the result literally as an untagged record. Returns
// the length of the message written.
int WriteLogA(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
