// The extension as a host sees it: loaded from the built module by name,
// created through its one export, asked its identity, detached and deleted.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include "api/connection_status.h"
#include "api/extension.h"
#include "host/extension_library.h"
#include "tests/support/extension_helpers.h"
#include "tests/support/loopback_server.h"

namespace quorvex {
namespace {

class ExtensionEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    const std::string path =
        host::program_directory() + host::extension_module_file_name();
    library_ = host::ExtensionLibrary::load(path, error);
    ASSERT_TRUE(library_.has_value()) << error;
  }

  std::unique_ptr<PeripheralExtension> create(const std::string& name,
                                              const std::string& id) {
    ExtensionManifest manifest(name, id);
    return std::unique_ptr<PeripheralExtension>(library_->factory()(manifest));
  }

  std::optional<host::ExtensionLibrary> library_;
};

TEST_F(ExtensionEntry, AnswersIdentityFromManifest) {
  auto extension = create("ip232-serial", "");
  ASSERT_NE(extension, nullptr);
  EXPECT_EQ(extension->name(), "ip232-serial");
  const auto resources = extension->resources();
  ASSERT_EQ(resources.size(), 1u);
  EXPECT_EQ(resources[0], "serial-port");
}

TEST_F(ExtensionEntry, KeepsItsOwnCopyOfTheManifest) {
  ExtensionManifest manifest("first", "id-1");
  std::unique_ptr<PeripheralExtension> extension(
      library_->factory()(manifest));
  manifest.name = "changed";
  manifest.instance_id = "changed";
  EXPECT_EQ(extension->name(), "first");
  EXPECT_EQ(extension->instance_id(), "id-1");
}

TEST_F(ExtensionEntry, InstanceIdPrefersManifestThenOption) {
  struct Case {
    const char* manifest_id;
    std::vector<std::pair<std::string, std::string>> options;
    const char* expected;
  };
  const Case cases[] = {
      {"", {}, ""},
      {"", {{"id", "abc"}}, "abc"},
      {"", {{"id", ""}}, ""},
      {"m1", {{"id", "abc"}}, "m1"},
      {"m1", {}, "m1"},
      {"", {{"ID", "abc"}}, ""},  // keys are case-sensitive
  };
  for (const Case& c : cases) {
    auto extension = create("ip232-serial", c.manifest_id);
    for (const auto& [key, value] : c.options) extension->options().insert_or_assign(key, value);
    EXPECT_EQ(extension->instance_id(), c.expected)
        << "manifest id '" << c.manifest_id << "'";
  }
}

// detach() takes off only the device this extension attached, once: before
// any attach, and again after a detach, another device on the port stays.
TEST_F(ExtensionEntry, DetachLeavesAPortItNoLongerHoldsAlone) {
  auto extension = create("ip232-serial", "");
  extension->options().insert_or_assign(
      "url", "127.0.0.1:" + std::to_string(test::refused_port()));
  SerialPort port;
  test::OtherDevice other;
  test::occupy(port, other);
  extension->detach();
  EXPECT_EQ(port.device, &other);

  port = SerialPort{};
  ExtensionContext context{"machine", &port};
  {
    const test::CoutCapture capture;
    extension->attach(context);
  }
  EXPECT_NE(port.device, nullptr);
  extension->detach();
  EXPECT_EQ(port.device, nullptr);
  test::occupy(port, other);
  extension->detach();
  EXPECT_EQ(port.device, &other);
  EXPECT_EQ(port.controller.source, &other);
  EXPECT_EQ(port.controller.sink, &other);
}

// A configuration error thrown inside the module reaches the host as the
// standard runtime_error, with its exact message, and leaves the extension
// usable.
TEST_F(ExtensionEntry, ConfigurationErrorsCrossTheBoundaryAsRuntimeError) {
  auto extension = create("ip232-serial", "");
  ASSERT_NE(extension, nullptr);
  SerialPort port;
  ExtensionContext context{"machine", &port};
  const std::pair<const char*, const char*> cases[] = {
      {"port", "ip232-serial: port must be 1..65535, got '0'"},
      {"mode", "ip232-serial: unknown mode 'serial' (expected 'ip232' or 'raw')"},
  };
  for (const auto& [key, message] : cases) {
    extension->options() = {{key, std::string(key) == "port" ? "0" : "serial"}};
    std::string caught;
    try {
      extension->attach(context);
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    EXPECT_EQ(caught, message);
    EXPECT_EQ(port.device, nullptr);
  }
}

// The device the module attached offers its status face to a host that
// asks for it with dynamic_cast, and answers through it from inside the
// module: where it connects and why it is not connected.
TEST_F(ExtensionEntry, AttachedDeviceAnswersItsConnectionStatus) {
  auto extension = create("ip232-serial", "");
  extension->options() = {{"url", "nosuch..invalid:2323"}, {"mode", "raw"}};
  SerialPort port;
  ExtensionContext context{"machine", &port};
  {
    const test::CoutCapture capture;
    extension->attach(context);
  }
  const auto* status_source = dynamic_cast<const ConnectionStatusSource*>(port.controller.source);
  ASSERT_NE(status_source, nullptr);
  // Not while request-to-send is off: assert it, and the first attempt fails.
  port.controller.sink->set_rts(true);
  ConnectionStatus status;
  for (int i = 0; i < 500 && status.status_text.empty(); ++i) {
    status = status_source->connection_status();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(status.host, "nosuch..invalid");
  EXPECT_EQ(status.port, 2323);
  EXPECT_TRUE(status.held_by_rts);
  EXPECT_FALSE(status.connected);
  EXPECT_EQ(status.connections, 0u);
  EXPECT_EQ(status.status_text.rfind("cannot resolve nosuch..invalid", 0), 0u)
      << status.status_text;
  extension->detach();
}

TEST(ExtensionLibraryLoad, NamesPathAndReasonWhenMissing) {
  std::string error;
  const std::string path = host::program_directory() + "no-such-module.bin";
  auto library = host::ExtensionLibrary::load(path, error);
  EXPECT_FALSE(library.has_value());
  EXPECT_NE(error.find(path), std::string::npos) << error;
}

}  // namespace
}  // namespace quorvex
