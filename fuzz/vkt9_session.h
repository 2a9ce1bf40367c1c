#pragma once

#include <ctime>

class CConnector;

namespace kov::fuzz {

// 2026-04-03 12:30 local time: the clock of the VKT-9 session and its seeds.
time_t Vkt9Now();

// One life of a VKT-9 driver (address 1) on the given line: init, system
// data, current values, archive bounds, three hourly and two daily records.
void RunVkt9Session(CConnector& line);

}  // namespace kov::fuzz
