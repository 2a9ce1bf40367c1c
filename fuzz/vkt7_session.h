#pragma once

#include <ctime>

class CConnector;

namespace kov::fuzz {

// 2026-04-03 12:30 local time: the clock of the VKT-7 session and its seeds.
time_t Vkt7Now();

// One life of a VKT-7 driver on the given line: init, system data, current
// values, archive bounds, two hourly records and two daily records across a
// month's end (so the monthly record is read too). Link faults end a step
// and the next one goes on, as the polling cycle would reconnect.
void RunVkt7Session(CConnector& line);

}  // namespace kov::fuzz
