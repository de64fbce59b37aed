// Where Windows' ports are plugged in: the device manager's location path is a port's slot, and its
// friendly name (else its description) the adapter shown; a port with no location has no slot.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ports/win32_port_list.h"

namespace kv {
namespace {

using P = DeviceManagerCalls::Property;

class ListedDevices : public DeviceManagerCalls {
 public:
  explicit ListedDevices(std::vector<std::map<P, std::string>> devices) : devices_(std::move(devices)) {}
  bool ListPortsClass(std::string& /*why*/) override { return true; }
  bool SelectDevice(unsigned index) override {
    selected_ = index;
    return index < devices_.size();
  }
  std::string Read(P property) override {
    const auto found = devices_.at(selected_).find(property);
    return found == devices_.at(selected_).end() ? std::string() : found->second;
  }

 private:
  std::vector<std::map<P, std::string>> devices_;
  unsigned selected_ = 0;
};

TEST(Win32PortSlots, TheLocationPathIsTheSlotAndTheFriendlyNameTheAdapter) {
  const std::string socket = "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)";
  ListedDevices manager({
      {{P::PortName, "COM7"},
       {P::FriendlyName, "USB Serial Port (COM7)"},
       {P::Maker, "FTDI"},
       {P::LocationPath, socket}},
      {{P::PortName, "COM1"}, {P::Description, "Communications Port"}},  // on the board: no location
  });
  const PortSurvey survey = SurveyDeviceManager(manager);
  ASSERT_EQ(survey.present.size(), 2u);
  EXPECT_EQ(survey.present[0].key, "COM1");
  EXPECT_EQ(survey.present[0].slot, "");
  EXPECT_EQ(survey.present[0].adapter, "Communications Port");
  EXPECT_EQ(survey.present[1].slot, socket);
  EXPECT_EQ(survey.present[1].adapter, "USB Serial Port (COM7)");
  EXPECT_EQ(survey.present[1].description, "USB Serial Port (COM7), FTDI");
}

}  // namespace
}  // namespace kv
