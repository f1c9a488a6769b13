// The Modbus tests and benchmark drive the comms server through the comms tests' client.
#pragma once

#include "tests/commsserver/CommsTestSupport.h"

namespace modbustest {

using DriveClient = commstest::CommsClient;
using commstest::Reply;
using commstest::Update;

}  // namespace modbustest
