#include "ports/win32_port_list.h"

#include <windows.h>
// clang-format off: initguid.h must come first, so that devguid.h defines the class's GUID here.
#include <cfgmgr32.h>
#include <devguid.h>
#include <initguid.h>
#include <setupapi.h>
// clang-format on

#include <algorithm>

#include "base/system_error.h"
#include "line/port.h"

namespace kv {
namespace {

std::string Utf8(const wchar_t* text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string result(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
  result.pop_back();  // the closing NUL
  return result;
}

// The first string of a REG_MULTI_SZ value read into `text` (`bytes` long), or "".
std::string FirstOfMultiString(const wchar_t* text, DWORD type, size_t bytes) {
  if (type != REG_MULTI_SZ || bytes < sizeof(wchar_t)) return {};
  return Utf8(text);
}

// Devices above a port looked at for a location: a converter's port, its USB device, a hub.
constexpr int MostParents = 4;

class SetupApiCalls : public DeviceManagerCalls {
 public:
  ~SetupApiCalls() override {
    if (list_ != INVALID_HANDLE_VALUE) ::SetupDiDestroyDeviceInfoList(list_);
  }

  bool ListPortsClass(std::string& why) override {
    list_ = ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (list_ != INVALID_HANDLE_VALUE) return true;
    why = SystemReason(::GetLastError());
    return false;
  }

  bool SelectDevice(unsigned index) override {
    device_ = {};
    device_.cbSize = sizeof(device_);
    return ::SetupDiEnumDeviceInfo(list_, index, &device_) != FALSE;
  }

  std::string Read(Property property) override {
    wchar_t text[256] = {};
    DWORD type = 0;
    if (property == Property::PortName) {
      const HKEY key = ::SetupDiOpenDevRegKey(list_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
      if (key == INVALID_HANDLE_VALUE) return {};
      DWORD size = sizeof(text) - sizeof(wchar_t);  // room for a NUL the value may lack
      const LONG result =
          ::RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
      ::RegCloseKey(key);
      return result == ERROR_SUCCESS && type == REG_SZ ? Utf8(text) : std::string();
    }
    if (property == Property::LocationPath) return LocationPath();
    const DWORD code = property == Property::FriendlyName  ? SPDRP_FRIENDLYNAME
                       : property == Property::Description ? SPDRP_DEVICEDESC
                                                           : SPDRP_MFG;
    if (!::SetupDiGetDeviceRegistryPropertyW(list_, &device_, code, &type, reinterpret_cast<BYTE*>(text),
                                             sizeof(text) - sizeof(wchar_t), nullptr) ||
        type != REG_SZ) {
      return {};
    }
    return Utf8(text);
  }

 private:
  // The device's own location path, else the nearest device's above it.
  std::string LocationPath() {
    wchar_t text[512] = {};
    DWORD type = 0;
    DWORD size = 0;
    // Two NULs of room: a value that lacks its closing ones still ends.
    if (::SetupDiGetDeviceRegistryPropertyW(list_, &device_, SPDRP_LOCATION_PATHS, &type,
                                            reinterpret_cast<BYTE*>(text), sizeof(text) - 2 * sizeof(wchar_t),
                                            &size)) {
      if (std::string path = FirstOfMultiString(text, type, size); !path.empty()) return path;
    }
    DEVINST node = device_.DevInst;
    for (int up = 0; up < MostParents && ::CM_Get_Parent(&node, node, 0) == CR_SUCCESS; ++up) {
      ULONG bytes = sizeof(text) - 2 * sizeof(wchar_t);
      ULONG valueType = 0;
      std::fill(std::begin(text), std::end(text), L'\0');
      if (::CM_Get_DevNode_Registry_PropertyW(node, CM_DRP_LOCATION_PATHS, &valueType, text, &bytes, 0) ==
          CR_SUCCESS) {
        if (std::string path = FirstOfMultiString(text, valueType, bytes); !path.empty()) return path;
      }
    }
    return {};
  }

  HDEVINFO list_ = INVALID_HANDLE_VALUE;
  SP_DEVINFO_DATA device_{};
};

}  // namespace

PortSurvey SurveyDeviceManager(DeviceManagerCalls& calls) {
  using Property = DeviceManagerCalls::Property;
  PortSurvey survey;
  std::string why;
  if (!calls.ListPortsClass(why)) {
    survey.notice = "Windows did not list its serial ports (" + why + "): COMn is \\\\.\\COMn";
    return survey;
  }
  for (unsigned index = 0; calls.SelectDevice(index); ++index) {
    const std::string name = calls.Read(Property::PortName);
    const int number = ParsePortName(name).value_or(0);
    const auto same = [number](const PresentPort& port) { return port.number == number; };
    if (number < 1 || number > HighestPortNumber ||
        std::any_of(survey.present.begin(), survey.present.end(), same)) {
      continue;  // a printer port, a number no user can give, or one listed already
    }
    std::string shown = calls.Read(Property::FriendlyName);
    if (shown.empty()) shown = calls.Read(Property::Description);
    std::string description = shown;
    if (const std::string maker = calls.Read(Property::Maker); !maker.empty()) {
      description += (description.empty() ? "" : ", ") + maker;
    }
    PresentPort& port = survey.present.emplace_back();
    port.key = PortName(number);
    port.device = DefaultPortDevice(number);
    port.adapter = std::move(shown);
    port.description = std::move(description);
    port.number = number;
    port.namedByNumber = true;
    port.slot = calls.Read(Property::LocationPath);
  }
  std::sort(survey.present.begin(), survey.present.end(),
            [](const PresentPort& a, const PresentPort& b) { return a.number < b.number; });
  return survey;
}

std::unique_ptr<DeviceManagerCalls> SystemDeviceManager() {
  return std::make_unique<SetupApiCalls>();
}

}  // namespace kv
