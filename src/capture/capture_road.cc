#include "capture/capture_road.h"

#include <strings.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "base/log.h"

namespace tillcast::capture {
namespace {

namespace fs = std::filesystem;

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

bool EndsWithNoCase(const std::string& s, const char* suffix) {
  const size_t n = std::char_traits<char>::length(suffix);
  return s.size() >= n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

// Regular files of `folder` whose name passes `keep`, oldest first.
std::vector<std::string> FilesByAge(const std::string& folder, const std::function<bool(const std::string&)>& keep) {
  std::vector<std::pair<fs::file_time_type, std::string>> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    const std::string name = e.path().filename().string();
    if (!keep(name) || e.is_symlink(ec) || !e.is_regular_file(ec)) continue;
    found.emplace_back(e.last_write_time(ec), e.path().string());
  }
  std::sort(found.begin(), found.end());
  std::vector<std::string> out;
  for (auto& f : found) out.push_back(std::move(f.second));
  return out;
}

}  // namespace

CaptureRoad::CaptureRoad(Settings settings, CaptureUploadHooks hooks, std::function<void()> start_timer,
                         platform::Clock* clock)
    : settings_(std::move(settings)),
      clock_(clock != nullptr ? clock : platform::SystemClock()),
      outbox_(settings_.data_folder + "/outbox", settings_.data_folder + "/rejected", settings_.limits),
      uploader_(std::move(hooks), &outbox_, settings_.uploader),
      flow_(CaptureFlow::Hooks{
          clock_, settings_.data_folder, std::move(start_timer),
          [this](const std::string& path, uint32_t tick) { uploader_.Handover(path, tick, CaptureAge::kFresh, true); },
          [this](const std::string& path, uint32_t tick) {
            uploader_.Handover(path, tick, CaptureAge::kHeld, true);
          }}) {}

CaptureRoad::~CaptureRoad() { Stop(); }

void CaptureRoad::Start() {
  outbox_.Open();
  Recover();
  uploader_.Start();
}

void CaptureRoad::Stop() { uploader_.Stop(); }

void CaptureRoad::UploadFile(const std::string& path) {
  uploader_.Handover(path, clock_->TickCount(), CaptureAge::kFresh, false);
}

void CaptureRoad::TakeUpWaitingCupsCopy(const std::string& path) {
  const std::string file = flow_.ConvertWaitingCupsCopy(path);
  if (!file.empty()) uploader_.Handover(file, clock_->TickCount(), CaptureAge::kLate, true);
}

size_t CaptureRoad::Waiting() { return uploader_.Queued() + outbox_.Count(); }

void CaptureRoad::Recover() {
  const std::vector<std::string> captures = FilesByAge(settings_.data_folder, [](const std::string& name) {
    return (StartsWith(name, "parallel") || StartsWith(name, "spl_")) && EndsWithNoCase(name, ".dat");
  });
  std::vector<std::string> copies;
  if (!settings_.spool_copy_folder.empty())
    copies =
        FilesByAge(settings_.spool_copy_folder, [](const std::string& name) { return EndsWithNoCase(name, ".spl"); });
  if (captures.empty() && copies.empty()) return;
  Log(LOG_INFO, "capture: %zu capture files and %zu spool copies of an earlier run are taken up", captures.size(),
      copies.size());
  for (const std::string& path : captures) uploader_.Handover(path, clock_->TickCount(), CaptureAge::kLate, true);
  for (const std::string& copy : copies) {
    const std::string file = flow_.ConvertLeftoverSpoolCopy(copy);
    if (!file.empty()) uploader_.Handover(file, clock_->TickCount(), CaptureAge::kLate, true);
  }
}

}  // namespace tillcast::capture
