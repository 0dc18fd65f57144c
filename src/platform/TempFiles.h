#pragma once
// Files written beside their destination and put in its place only when they are whole, so that a
// failed or abandoned write never leaves a destination half-written.

#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

// Creates every missing directory above the file `filePath`, scanning it from left to right at
// each '/'. The last component (the file's name) is never created. Results are not reported: a
// folder that cannot be made shows up when the file is opened. Any thread.
void CreateParentDirectories(const std::string& filePath);

// A uniquely named temporary file in the destination's folder, open for binary writing. Commit()
// puts it in the destination's place (an existing destination is replaced in one step); a staged
// file that is destroyed uncommitted is removed and the destination is left as it was.
// Move-only; used by one thread at a time.
//
// Temporary files are hidden and carry the process's id: ".<name>.<pid>.staged-XXXXXX". Those that
// are open are removed also when the process ends at once (ExitProcessNow); those that a killed
// process left behind are removed when a staged file is next opened in their folder.
class StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile();
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Opens a new temporary file for `destination`. Fails (returns false, nothing created) when the
  // destination is a directory, exists but may not be written by this process, or its folder does
  // not exist or cannot be written. A destination that is a symbolic link is replaced at the
  // file the link points to. The new file gets the permissions a newly created file would get.
  bool Open(const std::string& destination);
  bool IsOpen() const { return m_stream != nullptr; }
  // The open stream (null when not open); owned by this object, never to be closed by the caller.
  FILE* stream() const { return m_stream; }
  // Flushes and closes the stream, then renames the temporary file over the destination. Returns
  // false (and removes the temporary file) when a write, the close or the rename fails.
  bool Commit();
  // Closes and removes the temporary file; the destination is left as it was.
  void Discard();

  const std::string& temporaryPath() const { return m_temporaryPath; }
  // The bytes still free for this process on the temporary file's file system; the largest value
  // when not open or not known.
  uint64_t AvailableBytes() const;

 private:
  FILE* m_stream = nullptr;
  std::string m_temporaryPath;
  std::string m_destination;  // where Commit puts the file (symbolic links resolved)
};

// Removes the temporary files of every staged file still open in this process. For the paths that
// end the process without destructors; any thread.
void RemoveOpenStagedFiles();

}  // namespace platform
