// Finding the device's DIAG port without being told: the system's serial-port list, each port
// probed with the presence ping until a phone answers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace diaglib {

// The port number of one serial-port list entry: the decimal number after its three letters,
// converted the way atoi does, low 8 bits kept.
uint16_t PortNumberFromListEntry(const std::string& entry);

// Refills the process-wide port list; false (list empty) when the system list cannot be read.
bool EnumerateSerialPorts();
const std::vector<uint16_t>& SerialPortList();

// Probes the listed ports in list order, skipping the ignored ones, until `*count` phones were
// found; `*count` then holds the number found. Every context of the process is released first.
bool FindPhonePorts(int* count, uint16_t* ports, int ignore_count, const uint16_t* ignore);

}  // namespace diaglib
