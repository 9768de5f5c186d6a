// One backup folder of the store and the description of the device it came from.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/records.h"

namespace salvor {

struct MVIOSDeviceNode {
    Text strDeviceName = std::string();
    Text strDeviceSize = std::string();        // size of Info.plist in bytes, as text
    Text strDeviceBackUpTime = std::string();  // "YYYY-MM-DD HH:MM", local time
    Text strDeviceSerial = std::string();
    Text strDeviceType = std::string();        // absent when the model is unknown
    Text strIOSVersion = std::string();
    Text deviceImage;                          // image resource name: "ipad" or "iphone"
    Text itunesVersion = std::string();
    Text backUpFilePath = std::string();       // absolute path of the backup folder
};

using DeviceNodePtr = std::shared_ptr<MVIOSDeviceNode>;

}  // namespace salvor
