// The receipt printer: the port of the device configuration opened through
// the printer library, as the agent opens it, and asked for its real-time
// status.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "base/printer_settings.h"
#include "base/text_util.h"
#include "doctor.h"
#include "platform/paths.h"
#include "print/printer_link.h"
#include "print/sdk_binding.h"

namespace tillcast::doctor {
namespace {

// DLE EOT 1's status byte: bit 3 set while the printer is offline.
constexpr unsigned char kOfflineBit = 0x08;
constexpr int kStatusWaitMs = 1500;
constexpr int kStatusAttempts = 3;

std::string WhyNotOpen(const PortSettings& s) {
  if (s.portType == PortTypeDriver())
    return "the print queue does not take jobs (lpstat -p " + s.portName + " says why)";
  if (!platform::PathExists(s.portName))
    return s.portName + " does not exist (the printer is unplugged or its adapter missing)";
  if (::access(s.portName.c_str(), R_OK | W_OK) != 0) {
    struct stat st {};
    ::stat(s.portName.c_str(), &st);
    const group* g = ::getgrgid(st.st_gid);
    return CurrentUserName() + " may not open " + s.portName + " (group " +
           (g ? g->gr_name : std::to_string(st.st_gid)) + ")";
  }
  return s.portName + " exists but does not open (in use by a program that locks it, or a wrong port type)";
}

// The till port whose printer is `printer` in the driver's configuration,
// "" when none.
std::string SharedWithTillPort(const DoctorState& state, const std::string& printer) {
  if (!state.driver_config_loaded) return "";
  std::error_code ec;
  for (const serialfilter::PortConfig& port : state.driver_config.ports) {
    if (port.printer.empty()) continue;
    if (port.printer == printer || std::filesystem::equivalent(port.printer, printer, ec)) return port.path;
  }
  return "";
}

}  // namespace

CheckResult CheckPrinter(DoctorContext& c) {
  if (!c.state.data_folder_exists) return Skipped("no device configuration (see the configuration check)");
  if (!BindPrinterSdk())
    return Problem(
        "the printer library " + std::string(kPrinterSdkLibrary) + " is missing or incomplete in " + GetModuleFolder(),
        "reinstall the agent (sudo apt install --reinstall tillcast; in a build folder: cmake --build build "
        "--target print)");
  const PortSettings s = ReadPortSettings();
  const std::string port = AnsiToUtf8(s.portType) + " " + s.portName;
  if (s.portType != PortTypeSerial() && s.portType != PortTypeParallel() && s.portType != PortTypeDriver())
    return Problem("the printer's port type \"" + AnsiToUtf8(s.portType) + "\" is none of 串口, 并口, 驱动",
                   "choose the printer in the agent's window (高级设置)");
  const std::string choose_fix =
      "switch the printer on and check its cable; or choose its port in the agent's window (高级设置)";
  std::lock_guard<std::mutex> lock(PrinterLock());
  PrinterLink link;
  if (!OpenPortWith(s, link, true))
    return Problem("the printer port " + port + " does not open: " + WhyNotOpen(s), choose_fix);
  if (s.portType == PortTypeDriver()) {
    ClosePort(link);
    return Ok("the print queue " + s.portName + " opens (queues answer no status request)");
  }
  const int timeout = GetPrinterSettings().statusTimeoutMs;
  if (s.portType == PortTypeSerial() && timeout == 0) {
    ClosePort(link);
    return Ok(port + " opens; status requests are off ([printer] status_timeout_ms=0)");
  }
  // The doctor is in no hurry: a printer busy printing, or a loaded PC,
  // answers later than the agent's own short wait; and where the agent has
  // the same port open, its read may take an answer meant for the doctor.
  const int wait_ms = std::max(timeout, kStatusWaitMs);
  unsigned char status = 0;
  const PosSdkTable& sdk = PrinterSdk();
  bool answered = false;
  for (int attempt = 0; attempt < kStatusAttempts && !answered && sdk.POS_RTQueryStatusEx != nullptr; ++attempt)
    answered = sdk.POS_RTQueryStatusEx(&status, wait_ms) == POS_SUCCESS;
  ClosePort(link);
  if (!answered) {
    const std::string shared = SharedWithTillPort(c.state, s.portName);
    if (!shared.empty()) {
      // The driver reads this printer's answers to pass them to the till:
      // which reader gets one is chance.
      const std::string note = port + " opens; it is also the printer behind the till port " + shared +
                               ", whose capture driver reads the printer's answers, so the printer's answer to a "
                               "status request may go there (none came here)";
      if (s.portType == PortTypeSerial())
        return Problem(note,
                       "give the agent a printer port of its own, or set [printer] status_timeout_ms=0 in "
                       "setting.ini so that the agent does not wait for answers on this port");
      return Ok(note);
    }
    // The agent relies on the answer only on a serial port, which opens
    // whether or not a printer is there.
    if (s.portType == PortTypeSerial())
      return Problem(port + " opens but no printer answers its status request (asked " +
                         std::to_string(kStatusAttempts) + " times, " + std::to_string(wait_ms) +
                         " ms each): switched off, not connected, or another speed than " + std::to_string(s.baudrate),
                     choose_fix + "; the speed must be the printer's own");
    return Ok(port + " opens (the printer did not answer a status request, which many on this kind of port cannot)");
  }
  if (status & kOfflineBit)
    return Problem(port + " answers, but the printer is offline (cover open, paper out, or an error)",
                   "close the cover, load paper, and look at the printer's error light");
  return Ok(port + " opens and the printer answers its status request (online)");
}

}  // namespace tillcast::doctor
