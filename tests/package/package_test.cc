// The Debian package: what it holds, what it declares, its unit, and its
// maintainer scripts run against stand-ins of systemctl, groupadd and udevadm.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "package_util.h"
#include "support/fake_systemctl.h"
#include "support/test_support.h"

namespace tillcast {
namespace {

constexpr const char* kUnit = "tillcast-serialfilter.service";
constexpr const char* kPortsUnit = "tillcast-ports.service";

class Package : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(test::DebPath().empty()) << "the package was not built (test package.build)"; }
};

TEST_F(Package, HoldsTheInstallationTheUnitTheSettingsAndTheDesktopPieces) {
  const test::Output list = test::Run({"dpkg-deb", "--contents", test::DebPath()});
  ASSERT_EQ(list.code, 0) << list.err;
  for (const char* want : {"./usr/lib/tillcast/tillcast",
                           "./usr/lib/tillcast/SerialFilter64",
                           "./usr/lib/tillcast/libprint.so",
                           "./usr/lib/tillcast/libcrashreport.so",
                           "./usr/lib/tillcast/tillcast-send",
                           "./usr/lib/tillcast/tillcast-vprinter",
                           "./usr/lib/tillcast/tillcast-spool2text",
                           "./usr/lib/tillcast/tillcast-template-preview",
                           "./usr/lib/tillcast/tillcast.installation",
                           "./usr/lib/tillcast/skin/login.xml",
                           "./usr/lib/tillcast/skin/avatar_default.png",
                           "./usr/bin/tillcast -> ../lib/tillcast/tillcast",
                           "./usr/bin/tillcast-send -> ../lib/tillcast/tillcast-send",
                           "./usr/lib/tillcast/tillcast-doctor",
                           "./usr/bin/tillcast-doctor -> ../lib/tillcast/tillcast-doctor",
                           "./usr/bin/tillcast-spool2text -> ../lib/tillcast/tillcast-spool2text",
                           "./usr/bin/tillcast-template-preview -> ../lib/tillcast/tillcast-template-preview",
                           "./usr/bin/tillcast-vprinter -> ../lib/tillcast/tillcast-vprinter",
                           "./lib/systemd/system/tillcast-serialfilter.service",
                           "./lib/systemd/system/tillcast-ports.service",
                           "./etc/tillcast/serialfilter.conf",
                           "./etc/xdg/autostart/tillcast-agent.desktop",
                           "./lib/udev/rules.d/70-tillcast.rules",
                           "./usr/lib/modules-load.d/tillcast-uinput.conf",
                           "./usr/lib/cups/backend/tillcast"})
    EXPECT_NE(list.out.find(want), std::string::npos) << want << "\n" << list.out;
  // Nothing of the tests, the demo or a user's run; no folder to write in.
  for (const char* unwanted : {"cloudsim", "StoreLogo.png", "/logs", "_tests", "_bench", "./usr/local"})
    EXPECT_EQ(list.out.find(unwanted), std::string::npos) << unwanted << "\n" << list.out;
}

TEST_F(Package, ControlDataDeclaresVersionDependenciesConffilesAndScripts) {
  const test::Output info = test::Run({"dpkg-deb", "--info", test::DebPath()});
  ASSERT_EQ(info.code, 0) << info.err;
  for (const std::string& want :
       {std::string(" Package: tillcast\n"), " Version: " + std::string(TILLCAST_VERSION) + "\n",
        std::string(" Architecture: amd64\n"), std::string("libqt6widgets6"), std::string("libcurl4"),
        std::string("libhiredis"), std::string("qt6-qpa-plugins"), std::string("passwd"), std::string("acl"),
        std::string("postinst"), std::string(" Recommends: systemd, udev, cups\n"), std::string("prerm"),
        std::string("postrm"), std::string("conffiles")})
    EXPECT_NE(info.out.find(want), std::string::npos) << want << "\n" << info.out;
  test::UnpackedPackage pkg;
  ASSERT_TRUE(pkg.ok());
  EXPECT_EQ(test::ReadFile(pkg.Path("/DEBIAN/conffiles")),
            "/etc/tillcast/serialfilter.conf\n/etc/xdg/autostart/tillcast-agent.desktop\n");
  for (const char* script : {"postinst", "prerm", "postrm"}) {
    struct stat st {};
    ASSERT_EQ(stat(pkg.Path(std::string("/DEBIAN/") + script).c_str(), &st), 0) << script;
    EXPECT_EQ(st.st_mode & 0777, 0755u) << script;
  }
}

TEST_F(Package, TheCupsBackendIsRunAsRootByCupsd) {
  test::UnpackedPackage pkg;
  ASSERT_TRUE(pkg.ok());
  struct stat st {};
  ASSERT_EQ(stat(pkg.Path("/usr/lib/cups/backend/tillcast").c_str(), &st), 0);
  // Closed to group and others: cupsd runs such a backend as root.
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // Owned by root in the package.
  const test::Output list = test::Run({"dpkg-deb", "--contents", test::DebPath()});
  EXPECT_NE(list.out.find("-rwx------ root/root"), std::string::npos) << list.out;
  // It runs: without arguments (cupsd's device discovery) it lists nothing.
  const test::Output discovery = test::Run({pkg.Path("/usr/lib/cups/backend/tillcast")});
  EXPECT_EQ(discovery.code, 0) << discovery.err;
  EXPECT_EQ(discovery.out, "");
}

TEST_F(Package, TheUnitsPassSystemdAnalyzeVerify) {
  test::UnpackedPackage pkg;
  ASSERT_TRUE(pkg.ok());
  // The targets the units are ordered against come from this system's own
  // units; the units and their program from the package.
  ASSERT_EQ(test::Run({"cp", "-rn", "/lib/systemd/system/.", pkg.Path("/lib/systemd/system")}).code, 0);
  const std::string unit = pkg.Path(std::string("/lib/systemd/system/") + kUnit);
  const std::string ports = pkg.Path(std::string("/lib/systemd/system/") + kPortsUnit);
  const test::Output verify = test::Run({"systemd-analyze", "verify", "--man=no", "--root=" + pkg.root(), unit, ports});
  EXPECT_EQ(verify.code, 0) << verify.out << verify.err;
  EXPECT_EQ(verify.out + verify.err, "");  // not even a warning
  // The check sees a unit whose program is missing.
  test::WriteFile(pkg.Path("/lib/systemd/system/broken.service"),
                  "[Service]\nExecStart=/usr/lib/tillcast/NoSuchDriver\n");
  EXPECT_NE(test::Run({"systemd-analyze", "verify", "--man=no", "--root=" + pkg.root(),
                       pkg.Path("/lib/systemd/system/broken.service")})
                .code,
            0);
  // What the unit promises: started at boot, restarted on failure, its
  // socket and ports under the runtime folder, and, in both units, TCP for
  // network till ports (a unit left at Unix sockets only would make every
  // `network` line fail with "Address family not supported" under systemd
  // alone).
  const std::string text = test::ReadFile(unit);
  for (const char* want : {"ExecStart=/usr/lib/tillcast/SerialFilter64 -c /etc/tillcast/serialfilter.conf\n",
                           "Wants=tillcast-ports.service\n", "PartOf=tillcast-ports.service\n", "Restart=on-failure\n",
                           "WantedBy=multi-user.target\n", "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"})
    EXPECT_NE(text.find(want), std::string::npos) << want;
  // The keeper's unit holds the ports and the runtime folder across the
  // driver's restarts.
  const std::string keeper = test::ReadFile(ports);
  for (const char* want : {"ExecStart=/usr/lib/tillcast/SerialFilter64 --keep-ports --managed -c "
                           "/etc/tillcast/serialfilter.conf\n",
                           "RuntimeDirectory=tillcast\n", "RuntimeDirectoryPreserve=restart\n", "Restart=on-failure\n",
                           "WantedBy=multi-user.target\n", "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n"})
    EXPECT_NE(keeper.find(want), std::string::npos) << want;
  EXPECT_EQ(text.find("RuntimeDirectory="), std::string::npos) << "stopping the driver would take the ports' folder";
}

TEST_F(Package, TheDriversSettingsGiveTheSocketToTillcastAndThePortsToDialout) {
  test::UnpackedPackage pkg;
  ASSERT_TRUE(pkg.ok());
  const std::string conf = test::ReadFile(pkg.Path("/etc/tillcast/serialfilter.conf"));
  for (const char* want : {"socket       /run/tillcast/Sf_WatchSvr\n", "socket_group tillcast\n", "socket_mode  0660\n",
                           "port_group   dialout\n", "port_mode    0660\n"})
    EXPECT_NE(conf.find(want), std::string::npos) << want;
  const std::string desktop = test::ReadFile(pkg.Path("/etc/xdg/autostart/tillcast-agent.desktop"));
  EXPECT_NE(desktop.find("Exec=/usr/bin/tillcast\n"), std::string::npos);
  const std::string rules = test::ReadFile(pkg.Path("/lib/udev/rules.d/70-tillcast.rules"));
  EXPECT_NE(rules.find("KERNEL==\"uinput\", SUBSYSTEM==\"misc\", GROUP=\"tillcast\", MODE=\"0660\""),
            std::string::npos);
}

// The maintainer scripts, each in a scratch root ($DPKG_ROOT) that says
// whether systemd and udev run there, with every system command they call
// standing in on $PATH.
class MaintainerScripts : public Package {
 protected:
  void SetUp() override {
    Package::SetUp();
    ASSERT_TRUE(pkg_.ok());
    std::filesystem::create_directories(root_.Sub("etc"));
    test::WriteFile(root_.Sub("etc/group"), "root:x:0:\ndialout:x:20:\n");
  }
  void SystemdRuns() { std::filesystem::create_directories(root_.Sub("run/systemd/system")); }
  void UdevRuns() {
    std::filesystem::create_directories(root_.Sub("run/udev"));
    test::WriteFile(root_.Sub("run/udev/control"), "");
  }
  int RunScript(const std::string& name, const std::vector<std::string>& args, const std::string& root = "") {
    std::vector<std::string> argv{"/bin/sh", pkg_.Path("/DEBIAN/" + name)};
    argv.insert(argv.end(), args.begin(), args.end());
    const test::Output o = test::Run(
        argv,
        {{"PATH", fake_.PathValue()}, {"DPKG_ROOT", root.empty() ? root_.path() : root}, {"HOME", root_.Sub("home")}});
    last_ = o.out + o.err;
    return o.code;
  }
  std::string Calls() const {
    std::string all;
    for (const std::string& c : fake_.Calls()) all += c + "\n";
    return all;
  }

  test::UnpackedPackage pkg_;
  test::TempDir root_;
  test::FakeSystemctl fake_{{"groupadd", "udevadm", "modprobe"}};
  std::string last_;
};

TEST_F(MaintainerScripts, FirstInstallMakesTheGroupEnablesAndStartsTheUnit) {
  SystemdRuns();
  UdevRuns();
  EXPECT_EQ(RunScript("postinst", {"configure"}), 0) << last_;
  const std::string want = "groupadd --system --prefix " + root_.path() +
                           " tillcast\n"
                           "systemctl daemon-reload\n"
                           "systemctl --root=" +
                           root_.path() + " enable " + kPortsUnit + " " + kUnit + "\n" + "systemctl start " +
                           kPortsUnit + " " + kUnit + "\n" +
                           "udevadm control --reload-rules\n"
                           "udevadm trigger --action=change --subsystem-match=misc --sysname-match=uinput\n"
                           "udevadm trigger --action=change --subsystem-match=input\n";
  EXPECT_EQ(Calls(), want);
}

TEST_F(MaintainerScripts, InstallMakesTheCupsInboxAndPurgeRemovesIt) {
  EXPECT_EQ(RunScript("postinst", {"configure"}), 0) << last_;
  struct stat st {};
  ASSERT_EQ(stat(root_.Sub("var/spool/tillcast/cups").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 02770u);
  test::WriteFile(root_.Sub("var/spool/tillcast/cups/01-1-1.copy"), "a job the agent has not taken");
  EXPECT_EQ(RunScript("postinst", {"configure", "1.1.4.25"}), 0) << last_;
  EXPECT_TRUE(test::FileExists(root_.Sub("var/spool/tillcast/cups/01-1-1.copy"))) << "an upgrade keeps the copies";
  EXPECT_EQ(RunScript("postrm", {"remove"}), 0) << last_;
  EXPECT_TRUE(test::FileExists(root_.Sub("var/spool/tillcast/cups/01-1-1.copy")));
  EXPECT_EQ(RunScript("postrm", {"purge"}), 0) << last_;
  EXPECT_FALSE(test::FileExists(root_.Sub("var/spool/tillcast")));
}

TEST_F(MaintainerScripts, AnUpgradeKeepsTheGroupAndRestartsTheUnit) {
  SystemdRuns();
  test::WriteFile(root_.Sub("etc/group"), "root:x:0:\ntillcast:x:998:shop\n");
  EXPECT_EQ(RunScript("postinst", {"configure", "1.1.4.25"}), 0) << last_;
  // Only the driver restarts: the keeper goes on holding the till's ports.
  const std::string want = std::string("systemctl daemon-reload\n") + "systemctl --root=" + root_.path() + " enable " +
                           kPortsUnit + " " + kUnit + "\nsystemctl start " + kPortsUnit + "\nsystemctl restart " +
                           kUnit + "\n";
  EXPECT_EQ(Calls(), want);
  // The unit keeps running while the old package is taken off.
  EXPECT_EQ(RunScript("prerm", {"upgrade", "1.1.4.27"}), 0);
  EXPECT_EQ(Calls(), want);
}

TEST_F(MaintainerScripts, WithoutARunningSystemdEveryScriptStillExitsZero) {
  // A container or an image build: the unit is only enabled (links), nothing
  // is started, udev is left alone; failing commands change nothing.
  EXPECT_EQ(RunScript("postinst", {"configure"}), 0) << last_;
  EXPECT_EQ(Calls(), "groupadd --system --prefix " + root_.path() + " tillcast\nsystemctl --root=" + root_.path() +
                         " enable " + kPortsUnit + " " + kUnit + "\n");
  // The group made then is there now; systemctl fails as it does here.
  test::WriteFile(root_.Sub("etc/group"), "root:x:0:\ntillcast:x:998:\n");
  fake_.SetExit(1, "System has not been booted with systemd as init system (PID 1). Can't operate.\n");
  EXPECT_EQ(RunScript("postinst", {"configure"}), 0) << last_;
  EXPECT_EQ(RunScript("prerm", {"remove"}), 0) << last_;
  EXPECT_NE(Calls().find("systemctl --root=" + root_.path() + " disable " + kUnit + " " + kPortsUnit + "\n"),
            std::string::npos);
  EXPECT_EQ(RunScript("postrm", {"remove"}), 0) << last_;
  EXPECT_EQ(RunScript("postrm", {"purge"}), 0) << last_;
  EXPECT_EQ(Calls().find("start"), std::string::npos) << Calls();
  EXPECT_EQ(Calls().find("daemon-reload"), std::string::npos) << Calls();
}

TEST_F(MaintainerScripts, RemovalRunsTheAgentsUninstallWhichDisablesTheUnitNow) {
  // The root is the unpacked package itself, so prerm finds the agent there.
  std::filesystem::create_directories(pkg_.Path("/run/systemd/system"));
  std::filesystem::create_directories(root_.Sub("home"));
  fake_.SetUnit("active", "running", 4242);
  EXPECT_EQ(RunScript("prerm", {"remove"}, pkg_.root()), 0) << last_;
  const std::vector<std::string> calls = fake_.Calls();
  ASSERT_GE(calls.size(), 2u) << last_;
  EXPECT_EQ(calls[calls.size() - 2], std::string("systemctl disable --now -- ") + kUnit);
  EXPECT_EQ(calls.back(), std::string("systemctl disable --now ") + kPortsUnit);
  for (size_t i = 0; i + 2 < calls.size(); ++i) EXPECT_EQ(calls[i].rfind("systemctl show ", 0), 0u) << calls[i];
  EXPECT_EQ(RunScript("postrm", {"remove"}, pkg_.root()), 0);
  EXPECT_EQ(fake_.Calls().back(), "systemctl daemon-reload");
}

}  // namespace
}  // namespace tillcast
