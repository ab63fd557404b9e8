#ifndef LUMORA_DEVICEPANEL_H
#define LUMORA_DEVICEPANEL_H

#include "ftd2xx.h"

#include <QString>

// The device list's item for a record: "<description> (SN: <serial>)".
QString deviceItemText(const FT_DEVICE_LIST_INFO_NODE &node);

#endif
