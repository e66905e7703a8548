// Download and build lists: the per-user store meets the update server. No module is contacted.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "common/aDirectory.h"
#include "firmware/Base64.h"
#include "firmware/BirdFile.h"
#include "firmware/FirmwareSource.h"
#include "firmware/Log.h"
#include "firmware/ReplaceFile.h"
#include "firmware/ServerReply.h"
#include "firmware/UpdateServerRequest.h"
#include "firmware/UpdaterText.h"

using namespace UpdaterRoutines;

namespace {

constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);
constexpr const char* kSpinnerLabel = "Downloading";
constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::LEVEL_INFO;

// Everything the download worker needs, owned by the calling operation, which joins the worker
// before it reads reply or returns.
struct DownloadJob {
  const std::string* serverUrl;
  std::promise<bool>* done;
  uint32_t serialNumber;
  std::string firmware;
  std::string build;
  std::string* reply;
  bool noCal;
};

void _download_worker(DownloadJob job) {
  bool fetched = false;
  try {
    fetched = UpdateServerRequest::GetBuild(job.serialNumber, job.firmware.c_str(), job.build.c_str(), *job.reply,
                                            job.serverUrl->c_str(), job.noCal);
  } catch (...) {
    // The request raises nothing by contract; should memory run out, the download just failed.
  }
  job.done->set_value(fetched);
}

// Runs the build request on a worker thread while the spinner turns at least every 100 ms.
bool _fetch_with_spinner(UpdaterDisplayInterface& display, DownloadJob job) {
  std::promise<bool> done;
  std::future<bool> result = done.get_future();
  job.done = &done;
  std::thread worker(_download_worker, std::move(job));
  display.update_spinner(true, kSpinnerLabel);
  while (result.wait_for(kSpinnerPeriod) != std::future_status::ready) display.update_spinner(true, kSpinnerLabel);
  display.update_spinner(false, kSpinnerLabel);
  const bool fetched = result.get();
  worker.join();
  return fetched;
}

// The device's store entry, made when missing; false (shown) when its folder cannot be made.
bool _device_entry(UpdaterDisplayInterface& display, UpdaterStore& store, uint32_t serialNumber,
                   UpdaterStoreItem* device) {
  if (store.FindDevice(serialNumber, device)) return true;
  Log::log(Log::DEBUG_APP, "Could not find device in our update history.\n");
  try {
    *device = store.AddDevice(serialNumber);
    return true;
  } catch (const std::runtime_error&) {
    display.message(kError, "Could not create directory for storing BIRD file");
    return false;
  }
}

// A download is staged in the device's folder under a name of its own, created exclusively, and
// takes the build's name only once it loads as the update will load it: a broken download
// never replaces a good file, and two runs never share a staging file.
constexpr const char* kStagingPrefix = ".download";
constexpr mode_t kStoredFileMode = 0644;

bool _collect_staging(const aDirectoryListData* entry, void* ref) {
  const std::string path = entry->path;
  const std::string name = path.substr(path.rfind('/') + 1);
  if (!entry->isDirectory && name.rfind(kStagingPrefix, 0) == 0)
    static_cast<std::vector<std::string>*>(ref)->push_back(path);
  return true;
}

// Removes staging files of runs that ended before they were done (killed, or the machine went
// down). Called under the folder's store lock, which every run holds while it has one, so none
// of them belongs to a live run.
void _clear_stale_staging(const UpdaterStoreItem& device) {
  std::vector<std::string> stale;
  aDirectory_List(device.FolderPath().c_str(), _collect_staging, &stale);
  for (const std::string& path : stale) {
    Log::log(Log::DEBUG_Updater, "Removing unfinished download [%s]\n", path.c_str());
    std::remove(path.c_str());
  }
}

bool _write_all(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = ::write(fd, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

// Makes a new staging file in the device's folder, noted as the file a stop signal removes
// before it is made, so that no signal can come between its making and its noting. The name (the
// process id and a count) is no other run's: none stages in the folder meanwhile (the store
// lock), and the files of ended runs were cleared under it. The open file, or -1.
int _open_staging(const UpdaterStoreItem& device, std::string* path) {
  static std::atomic<unsigned> made{0};
  constexpr int kTries = 100;
  for (int tried = 0; tried < kTries; ++tried) {
    char name[64];
    snprintf(name, sizeof name, "%s-%ld-%u", kStagingPrefix, static_cast<long>(::getpid()), made++);
    *path = device.PathOf(name);
    RememberUnfinishedFile(*path);
    const int fd = ::open(path->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kStoredFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Writes the bytes to a new staging file of the device's folder; aErrNone with its path.
aErr _stage(const UpdaterStoreItem& device, const uint8_t* bytes, size_t count, std::string* staged) {
  std::string pattern;
  const int fd = _open_staging(device, &pattern);
  if (fd < 0) {
    ForgetUnfinishedFile();
    return aErrNotFound;
  }
  bool written = ::fchmod(fd, kStoredFileMode) == 0 && _write_all(fd, bytes, count);
  written = ::close(fd) == 0 && written;
  if (!written) {
    std::remove(pattern.c_str());
    ForgetUnfinishedFile();
    return aErrIO;
  }
  *staged = pattern;
  return aErrNone;
}

bool _loads_as_bird_file(const std::string& path) {
  if (!BirdFile::VerifyFile(path.c_str())) return false;
  try {
    BirdFile loaded(path.c_str());
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// Decodes the Base64 reply and stores it as the build's file, noting it in the device's settings,
// all under the folder's store lock. False, shown, when the reply is no bird file or the write
// failed; a failed write notes nothing, so the settings keep naming the last build stored.
bool _store_build(UpdaterDisplayInterface& display, UpdaterStoreItem& device, const std::string& build,
                  const std::string& reply) {
  size_t count = 0;
  std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
      reply.empty() ? nullptr : base64_decode(reply.data(), reply.size(), &count), &std::free);
  if (!bytes) {
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return false;
  }
  const std::string fileName = build_file_name(build);
  const std::string date = date_text();
  const StoreLock lock = device.LockFolder();
  _clear_stale_staging(device);
  std::string staged;
  const aErr written = _stage(device, bytes.get(), count, &staged);
  bytes.reset();
  if (written != aErrNone) {
    display.message(kError, "Failed to write file with %d", static_cast<int>(written));
    return false;
  }
  if (!_loads_as_bird_file(staged)) {
    std::remove(staged.c_str());
    ForgetUnfinishedFile();
    display.message(kError, "Failed to retrieve a valid BIRD file");
    return false;
  }
  const bool renamed = std::rename(staged.c_str(), device.PathOf(fileName.c_str()).c_str()) == 0;
  if (!renamed) std::remove(staged.c_str());
  ForgetUnfinishedFile();
  if (!renamed) {
    display.message(kError, "Failed to write file with %d", static_cast<int>(aErrIO));
    return false;
  }
  device.ReloadSettings();  // what another run noted meanwhile stays
  device.settings.Add(KEY_LATEST_DOWNLOAD, fileName);
  device.settings.Add(KEY_LAST_DOWNLOAD_DATE, date);
  device.settings.Save(nullptr);
  return true;
}

}  // namespace

bool UpdaterRoutines::_valid_build(uint32_t serialNumber, uint32_t build, const std::string& url) {
  UpdateServerRequest::BuildList builds;
  if (!UpdateServerRequest::GetBuildList(serialNumber, builds, url.c_str())) return false;
  for (const auto& entry : builds) {
    if (build_or_zero(entry.first) == build) return true;
  }
  return false;
}

uint32_t FirmwareSource::Download_Firmware(uint32_t serialNumber, std::string buildText, bool override, bool noCal) {
  uint32_t build = 0;
  if (!buildText.empty() && !ServerReply::parse_build(buildText, &build)) {
    display.message(kError, "Build number '%s' must be an number", buildText.c_str());
    return 0;
  }
  if (serialNumber == 0) {
    display.message(kError, "Serial Number must be non-zero");
    return 0;
  }
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    return 0;
  }
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Download_Firmware");
  if (!store) return 0;
  UpdaterStoreItem device;
  if (!_device_entry(display, *store, serialNumber, &device)) return 0;

  // Asked even for a given build: its firmware text goes into the build request.
  std::string newest;
  std::string firmware;
  if (!UpdateServerRequest::QueryBuild(serialNumber, newest, firmware, serverUrl.c_str())) {
    display.message(kError, "No build information for device");
    return 0;
  }
  if (build == 0) build = build_or_zero(newest);
  display.message(kInfo, "Retrieving build %u", build);
  if (override) {
    display.message(kInfo, "Override specified, skipping validation of build %u", build);
  } else {
    display.message(kInfo, "Validating build %u with server", build);
    if (!_valid_build(serialNumber, build, serverUrl)) {
      display.message(kError, "No valid build %u", build);
      return 0;
    }
    display.message(kInfo, "Build %u is valid", build);
  }

  buildText = std::to_string(build);
  std::string reply;
  DownloadJob job{&serverUrl, nullptr, serialNumber, firmware, buildText, &reply, noCal};
  if (!_fetch_with_spinner(display, std::move(job))) display.message(kError, "Download failed");
  return _store_build(display, device, buildText, reply) ? build : 0;
}

uint32_t FirmwareSource::Download_Firmware(Fingerprint fingerprint, std::string buildText, bool override) {
  uint32_t build = build_or_zero(buildText);
  uint32_t serialNumber = 0;
  uint32_t serverBuild = 0;
  if (!UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &serverBuild, serverUrl.c_str())) {
    display.message(kError, "Failed to retrieve recovery information from Tarnwick update server");
    return 0;
  }
  if (build == 0) build = serverBuild;
  return Download_Firmware(serialNumber, std::to_string(build), override, false);
}

FirmwareSource::BuildList FirmwareSource::Get_BuildList(uint32_t serialNumber) {
  bool answered = false;
  return Get_BuildList(serialNumber, answered);
}

FirmwareSource::BuildList FirmwareSource::Get_BuildList(uint32_t serialNumber, bool& answered) {
  BuildList builds;
  answered = false;
  if (!UpdateServerRequest::ping(serverUrl.c_str())) {
    display.message(kError, "Server request failed for %s", serverUrl.c_str());
    return builds;
  }
  answered = UpdateServerRequest::GetBuildList(serialNumber, builds, serverUrl.c_str());
  if (!answered) display.message(kError, "Failed to retrieve builds for %08X", serialNumber);
  return builds;
}

namespace {

// The version text of a stored bird file, or empty when it has none or cannot be loaded.
std::string _stored_version(const UpdaterStoreItem& item) {
  const std::string path = item.base + "/" + item.name;
  if (!BirdFile::VerifyFile(path.c_str())) {
    Log::log(Log::DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
    return "";
  }
  try {
    return BirdFile(path.c_str()).GetVersion();
  } catch (const std::runtime_error&) {
    return "";
  }
}

}  // namespace

FirmwareSource::BuildList FirmwareSource::Get_BuildListLocal(uint32_t serialNumber) {
  BuildList builds;
  std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, storeDir, "Get_BuildListLocal");
  if (!store) return builds;
  std::vector<UpdaterStoreItem> items;
  store->FindLocalBuilds(serialNumber, items);
  for (const UpdaterStoreItem& item : items) {
    const std::string key = item.name.substr(0, item.name.find(BIRD_FILE_EXTENSION));
    builds.emplace(key, item.IsValid() ? _stored_version(item) : std::string());
  }
  return builds;
}
