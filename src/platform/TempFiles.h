#pragma once
// Files written beside their destination and put in its place only when they are whole, so that a
// failed or abandoned write never leaves a destination half-written.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
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
// process left behind are removed when a staged or partial file is next opened in their folder.
class StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile();
  StagedFile(StagedFile&& other) noexcept;
  StagedFile& operator=(StagedFile&& other) noexcept;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  // Opens a new temporary file for `destination`. Fails (returns false, nothing created) when the
  // destination exists but is not a regular file, may not be written by this process, or its folder does
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
  std::unique_ptr<char[]> m_buffer;  // the stream's buffer, kept until it is closed
  std::string m_temporaryPath;
  std::string m_destination;  // where Commit puts the file (symbolic links resolved)
};

// A download's partial file beside its destination, kept when a transfer fails or is interrupted
// (also by a kill) so that the next download of the same URL to the same destination asks only
// for the rest. Its name is fixed by the destination, ".<name>.partial", and its record
// ".<name>.partial.meta" holds the URL and the validator the server gave for the body (an ETag,
// else a Last-Modified date). A partial file is resumable when it holds bytes and a validator; one
// that is not is removed when it is closed and, like a staged file, at an immediate exit. A
// partial file of another URL, or last written more than 7 days ago, is thrown away: when opened,
// and by the sweep of abandoned files when a staged or partial file is next opened in its folder.
// The open file is locked, so two transfers never share it. Move-only; one thread at a time.
class PartialFile {
 public:
  PartialFile() = default;
  ~PartialFile();  // Close()
  PartialFile(PartialFile&& other) noexcept;
  PartialFile& operator=(PartialFile&& other) noexcept;
  PartialFile(const PartialFile&) = delete;
  PartialFile& operator=(const PartialFile&) = delete;

  // Opens the partial file of `destination` for a download of `url`, positioned at its end. What
  // it holds is kept when its record names `url` and a validator; otherwise it starts empty. Fails
  // (nothing created) as StagedFile::Open does, and when another transfer holds the file.
  bool Open(const std::string& destination, const std::string& url);
  bool IsOpen() const { return m_stream != nullptr; }
  // The bytes held (where a resumed body continues) and the validator they were sent under
  // (empty when nothing is held).
  uint64_t size() const;
  const std::string& validator() const { return m_validator; }
  // Hands the bytes held to `sink`, from the first, in pieces: for a check of the whole file that
  // reads the kept part once before the rest comes. false when a read fails or nothing is open.
  bool ReadHeld(const std::function<void(std::span<const uint8_t>)>& sink) const;
  // Empties the file for a body sent under `validator` (empty: a body that cannot be resumed).
  // False when the file cannot be emptied or its record written.
  bool StartOver(const std::string& validator);
  // The open stream (null when not open); owned by this object.
  FILE* stream() const { return m_stream; }
  // Flushes and closes the file, renames it over the destination and removes its record. False
  // (and the file removed) when a write, the close or the rename fails.
  bool Commit();
  // Closes the file; it stays for a later download when it is resumable, else it is removed.
  void Close();
  // Closes and removes the file and its record.
  void Discard();
  uint64_t AvailableBytes() const;  // as StagedFile::AvailableBytes

 private:
  void Forget();
  FILE* m_stream = nullptr;
  std::unique_ptr<char[]> m_buffer;  // the stream's buffer, kept until it is closed
  std::string m_path;
  std::string m_recordPath;
  std::string m_destination;
  std::string m_url;
  std::string m_validator;
};

// Removes the temporary files of every staged file still open in this process, and the partial
// files that cannot be resumed. For the paths that end the process without destructors; any
// thread.
void RemoveOpenStagedFiles();

}  // namespace platform

namespace platform {

// What every write of a size known beforehand leaves free on its disk: the space is the player's.
inline constexpr uint64_t kDiskSpaceKeptFree = 256ull << 20;

// Whether the room for a file was reserved.
enum class Reservation {
  kMade,
  kNoRoom,  // the disk would be left with less than it must keep free
  kFailed,  // the space cannot be reserved
};

// Reserves `size` bytes on the disk for the open staged file `file` (its length becomes `size`),
// so that writing them cannot fail for want of space. kNoRoom, reserving nothing, when that would
// leave the disk with less than `keepFree` bytes free; kFailed when the file is not open or the
// space cannot be reserved. Any thread that may use `file`.
Reservation ReserveStagedFile(StagedFile& file, uint64_t size, uint64_t keepFree);

}  // namespace platform
