// The device-support adapter: what the program asks of the library that talks
// to a USB-connected iPhone (notices of arrival and removal, the lockdown
// conversation, services, the AFC file service). Two implementations: the
// real one over libimobiledevice, and a simulated one described by files in
// the folder named by SALVOR_SIMULATED_DEVICE, so every flow can run without
// hardware. Status codes: 0 is success, anything else a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/backup_tool.h"
#include "platform/plist.h"

namespace salvor::device {

// Notice codes passed to the subscription callback.
inline constexpr int kNoticeAdded = 1;
inline constexpr int kNoticeRemoved = 2;

// A device is named by its unique identifier.
using DeviceHandle = std::string;
using NoticeCallback = std::function<void(const DeviceHandle& device, int code)>;

// Why a conversation with a device could not be held, for messages a person can act on.
enum class Problem { None, Locked, NotTrusted, PairingRefused, ConnectFailed, Other };

// A started service: what a file-service connection is opened on.
class ServiceSocket {
public:
    virtual ~ServiceSocket() = default;
};

// One open AFC connection. Paths are device paths ("/DCIM/100APPLE").
class AfcConnection {
public:
    virtual ~AfcConnection() = default;
    // Entry names including "." and ".." as the device gives them; absent on failure.
    virtual std::optional<std::vector<std::string>> readDirectory(const std::string& path) = 0;
    // mode 1 = read only (the only mode the program uses), 3 = write (create/truncate).
    virtual int fileOpen(const std::string& path, int mode, std::uint64_t& handle) = 0;
    // Reads up to `size` bytes; `got` = 0 at the end of the file.
    virtual int fileRead(std::uint64_t handle, char* data, std::uint32_t size, std::uint32_t& got) = 0;
    virtual int fileClose(std::uint64_t handle) = 0;
    virtual int removePath(const std::string& path) = 0;
    virtual int makeDirectory(const std::string& path) = 0;
    virtual int renamePath(const std::string& from, const std::string& to) = 0;
    // The path's information as key/value texts (st_size, st_ifmt, ...); absent on failure.
    virtual std::optional<std::map<std::string, std::string>> fileInfo(const std::string& path) = 0;
};

// One connection to one device, from connect to disconnect.
class Connection {
public:
    virtual ~Connection() = default;
    virtual int validatePairing() = 0;
    virtual int pair() = 0;
    virtual bool isPaired() = 0;
    virtual int startSession() = 0;
    virtual int stopSession() = 0;
    virtual int startService(const std::string& name, std::shared_ptr<ServiceSocket>& socket) = 0;
    // A value of the lockdown conversation (domain and key may be empty: all of it); empty document when none.
    virtual plist::Document copyValue(const std::string& domain, const std::string& key) = 0;
    virtual int disconnect() = 0;
    // Why the last pairing or session step failed.
    virtual Problem problem() const = 0;
};

class DeviceSupport {
public:
    virtual ~DeviceSupport() = default;
    // One sentence when the service that reaches USB devices cannot be used
    // (usbmuxd not running); absent when it can.
    virtual std::optional<std::string> unavailable() = 0;
    // Notices of USB devices only; devices already connected are announced as added.
    virtual int subscribe(NoticeCallback callback) = 0;
    virtual int unsubscribe() = 0;
    // Waits (briefly) until the devices connected at subscription have been announced.
    virtual void settle() {}
    virtual int connect(const DeviceHandle& device, std::unique_ptr<Connection>& connection) = 0;
    virtual int afcConnectionOpen(ServiceSocket& socket, std::unique_ptr<AfcConnection>& connection) = 0;
    // The backup tool that goes with this adapter.
    virtual std::unique_ptr<BackupTool> backupTool() = 0;
    // Whether this is the simulated device (for log lines and the CLI).
    virtual bool simulated() const { return false; }
};

// The adapter of this process: the simulated one when SALVOR_SIMULATED_DEVICE
// names a folder, else libimobiledevice. Made on first use, never destroyed.
DeviceSupport& deviceSupport();
// A fresh adapter of each kind, for tests and tools.
std::unique_ptr<DeviceSupport> makeLibimobiledeviceSupport();
std::unique_ptr<DeviceSupport> makeSimulatedSupport(const std::string& folder);

// ---- the simulated device ----
// SALVOR_SIMULATED_DEVICE names a folder with one subfolder per device, each
// holding a device.json:
//   { "udid": "...",
//     "values": { "": {"DeviceName": ..., "ProductType": ..., "ProductVersion": ...},
//                 "com.apple.mobile.backup": {"WillEncrypt": false} },
//     "pairing": "paired" | "unpaired" | "locked" | "untrusted" | "refused",
//     "media": "media",            AFC root on this computer (holds DCIM/...)
//     "unreadable": ["/DCIM/100APPLE/IMG_0003.JPG"],   device files that cannot be opened
//     "backup": "backup",          the backup folder the tool writes as <root>/<udid>
//     "tool": { "exit": 0, "snapshotState": "finished", "progress": [0, 50, 100],
//               "removeDuringBackup": false } }
// A file named "no-usbmuxd" in the folder makes the adapter report usbmuxd as not running.
// Delivers a notice through a simulated adapter's subscription, as if the
// device had arrived or left (any handle, known or not); false for another adapter.
bool simulateNotice(DeviceSupport& support, const DeviceHandle& device, int code);
inline constexpr const char* kSimulatedDeviceVariable = "SALVOR_SIMULATED_DEVICE";

}  // namespace salvor::device
