#include "transport/connector_factory.h"

#include "log/logger.h"
#include "transport/modbus_connector.h"
#include "transport/rs_connector.h"

CConnector* CreateConnector(const ParamMap& params) {
    auto it = params.find("protocol");
    if (it != params.end() && it->second == "modbus") {
        CConnector* c = new CModbusConnectorItself(ParamMap(params));
        klog::debug("The CConnector is created in the \"Modbus\" mode.");
        return c;
    }
    CConnector* c = new CRSConnector(ParamMap(params));
    klog::debug("The CConnector is created in as simple UART.");
    return c;
}
