// The serial ports Windows knows, as its device manager lists them (SetupAPI, the Ports device class):
// each COMn with its friendly name and maker, "USB Serial Port (COM3)" by "FTDI". The system's calls
// sit behind a narrow interface, so that tests can stand in for them.
//
// Kept free of <windows.h> so that including it drags no platform macros into the callers.
#pragma once

#include <memory>
#include <string>

#include "ports/port_names.h"

namespace kv {

// What the search asks of the device manager; texts in UTF-8.
class DeviceManagerCalls {
 public:
  // What the search reads of a device.
  enum class Property {
    FriendlyName,  // "USB Serial Port (COM3)"
    Description,   // "USB Serial Port": the device's description, for one without a friendly name
    Maker,         // "FTDI"
    PortName,      // "COM3" (or "LPT1": the class holds printer ports too), from the device's own key
    // "PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(2)": where the device, or the nearest device above it (a USB
    // serial converter's port sits below its USB device), is plugged in; the first of its location paths
    LocationPath,
  };

  virtual ~DeviceManagerCalls() = default;
  // Starts a list of the Ports class's devices present now. False when the system refuses, with its
  // words in `why`.
  virtual bool ListPortsClass(std::string& why) = 0;
  // Moves to the list's device `index` (from 0); false past the last one.
  virtual bool SelectDevice(unsigned index) = 0;
  // A property of the selected device; "" when it has none.
  virtual std::string Read(Property property) = 0;
};

// The COM ports in the list, in number order, each opened as \\.\COMn, its slot the location path
// and its adapter the friendly name; where the list cannot be had, none, and a notice that says why.
PortSurvey SurveyDeviceManager(DeviceManagerCalls& calls);

// The device manager of this machine.
std::unique_ptr<DeviceManagerCalls> SystemDeviceManager();

}  // namespace kv
