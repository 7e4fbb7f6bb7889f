// make-demo-machine DIR: builds a sample machine folder in DIR for trying the removal tool.
//
// DIR stands for C:\ once WINROOT=DIR is set. It holds:
//   WINDOWS\inf\oem7.inf, oem7.PNF    the installed diagnostic-port package (removed by the tool)
//   WINDOWS\inf\oem3.inf, oem3.PNF    another vendor's package (kept)
//   WINDOWS\inf\oem9.inf              another vendor's package, read-only (kept, made writable)
//   WINDOWS\inf\oem11.inf, oem11.PNF  a google-style package listing the vendor ID (INF and PNF removed)
//   WINDOWS\inf\usb.inf, OEM2.INF     names the tool's filter passes over
//   WINDOWS\system32\drivers\         corvid.sys (removed), usbser.sys, adbwinusb.sys (kept)
//   devices.tsv                       matching, non-matching, absent and ID-less devices
// An existing DIR is emptied first.
#include <filesystem>
#include <iostream>

#include "machine_folder.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make-demo-machine DIR\n";
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    try {
        std::error_code ec;
        // Read-only files from an earlier demo do not stop the removal on the host.
        std::filesystem::remove_all(dir, ec);
        if (ec) {
            std::cerr << "make-demo-machine: cannot empty " << dir.string() << ": " << ec.message() << "\n";
            return 1;
        }
        machine::BuildDemoMachine(machine::MachineFolder(dir));
    } catch (const std::exception& e) {
        std::cerr << "make-demo-machine: " << e.what() << "\n";
        return 1;
    }
    std::cout << "demo machine built in " << dir.string() << "\n";
    return 0;
}
