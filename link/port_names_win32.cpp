// On Windows, Windows gives the COM numbers: COMn is the device \\.\COMn (the only form that also opens
// COM10 and above), and the device manager says what each present one is.
#include "link/port.h"
#include "link/port_names.h"
#include "link/win32_port_list.h"

namespace kv {

std::vector<PresentPort> FindPresentPorts(const std::string& /*root*/) {
  return SurveyPorts({}).present;
}

std::string PortsChangeToken(const std::string& /*root*/) {
  return {};  // the device manager is asked each time
}

PortSurvey SurveyPorts(const PortPlaces& /*places*/) {
  return SurveyDeviceManager(*SystemDeviceManager());
}

ForgetResult ForgetPortNumber(const PortPlaces& /*places*/, int n) {
  return {ForgetOutcome::Failed, "Windows gives the COM numbers: to free " + PortName(n) +
                                     ", change its port's number in Device Manager (Ports, the port's "
                                     "Properties, Port Settings, Advanced)"};
}

std::string DefaultNumbersFile(const EnvironmentLookup& /*environment*/) {
  return {};
}

std::string DefaultPortDevice(int n) {
  return "\\\\.\\" + PortName(n);
}

}  // namespace kv
