#pragma once

#include "service/value_record.h"
#include "transport/connector.h"

// Creates the connector of a port: "protocol" "modbus" gives a Modbus RTU
// master, anything else a plain UART. The caller owns the result.
CConnector* CreateConnector(const ParamMap& params);
