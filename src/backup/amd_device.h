// The device layer: the list of connected devices, kept up to date by the
// device-support adapter's notices, and the services that open one service of
// one device. Every request to a device runs inside one conversation frame
// (connect, pairing, session, request, session end, disconnect) under one
// process-wide lock, so only one conversation with any device runs at a time.
// The application and installer services are not part of this layer.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/records.h"
#include "platform/device_support.h"
#include "platform/plist.h"

namespace salvor::amd {

// Holds one device handle of the adapter.
struct BaseDevice {
    device::DeviceHandle handle;
};

// Receiver of arrival and removal; indexes are 1-based positions in the list.
class DeviceNotify {
public:
    virtual void deviceConnected(int index) = 0;
    virtual void deviceDisconnected(int index) = 0;

protected:
    ~DeviceNotify() = default;
};

// Hands arrival and removal (with the index) to the two functions it was made with.
class MVDeviceNotify final : public DeviceNotify {
public:
    MVDeviceNotify(std::function<void(int)> connected, std::function<void(int)> disconnected)
        : connected_(std::move(connected)), disconnected_(std::move(disconnected)) {}
    void deviceConnected(int index) override;
    void deviceDisconnected(int index) override;

private:
    std::function<void(int)> connected_, disconnected_;
};

class DeviceManager {
public:
    // The process's manager over the process's adapter (created on first call, never destroyed).
    static DeviceManager& sharedManager();
    explicit DeviceManager(device::DeviceSupport& support) : support_(support) {}
    ~DeviceManager();
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    void setNotify(DeviceNotify* notify);
    int subscribe();
    int unsubscribe();  // 0 when not subscribed
    bool subscribed() const { return subscribed_; }

    // The handle at a 1-based index; absent for 0, negatives and past the end.
    std::optional<device::DeviceHandle> deviceAt(int index) const;
    // The 1-based index of a handle; 0 when it is not listed.
    int indexOf(const device::DeviceHandle& handle) const;
    int count() const;
    device::DeviceSupport& support() { return support_; }

    // The adapter's notice (code 1 added, 2 removed, others ignored).
    void notice(const device::DeviceHandle& handle, int code);

private:
    device::DeviceSupport& support_;
    mutable std::mutex mutex_;  // the list changes on the adapter's thread
    std::list<std::unique_ptr<BaseDevice>> devices_;
    bool subscribed_ = false;
    DeviceNotify* notify_ = nullptr;
};

class BaseService {
public:
    explicit BaseService(DeviceManager& manager = DeviceManager::sharedManager()) : manager_(manager) {}
    virtual ~BaseService();
    BaseService(const BaseService&) = delete;
    BaseService& operator=(const BaseService&) = delete;
    // Keeps a holder of the index-th device (1 = first); 1 when there is none.
    virtual int open(int index);
    // Starts a service of the opened device inside the conversation frame.
    int startService(const std::string& name);

    std::int32_t index() const { return index_; }
    // Why the last conversation failed (locked, not trusted...), for messages.
    device::Problem problem() const { return problem_; }

protected:
    // The conversation frame around `request`; the first failing code, else the request's.
    int conversation(const std::function<int(device::Connection&)>& request);

    DeviceManager& manager_;
    std::unique_ptr<BaseDevice> device_;
    std::shared_ptr<device::ServiceSocket> socket_;
    std::int32_t index_ = -1;
    device::Problem problem_ = device::Problem::None;
};

class BaseInfo : public BaseService {
public:
    using BaseService::BaseService;
    // A value by domain and key (either may be empty); empty document when any step failed.
    plist::Document copyValue(const std::string& domain, const std::string& key);
    Text stringValue(const std::string& key);  // a text value with no domain
    Text deviceName() { return stringValue("DeviceName"); }
    Text uniqueDeviceID() { return stringValue("UniqueDeviceID"); }
    Text productType() { return stringValue("ProductType"); }
    Text productVersion() { return stringValue("ProductVersion"); }
    Text phoneNumber() { return stringValue("PhoneNumber"); }
    Text buildVersion() { return stringValue("BuildVersion"); }
    Text serialNumber() { return stringValue("SerialNumber"); }
    plist::Document battery() { return copyValue("com.apple.mobile.battery", ""); }
    // The six disk figures of "com.apple.disk_usage" by key; each absent when not given.
    std::map<std::string, std::optional<std::int64_t>> diskUsage();
};

class AfcService : public BaseService {
public:
    using BaseService::BaseService;
    ~AfcService() override;
    // Base open, the file service, then a file-service connection on its socket.
    int open(int index) override;
    // Entry names (without "." and ".."), or absent.
    std::optional<std::vector<std::string>> readDirectory(const std::string& devicePath);
    // Copies a device file into a new file of `localDir` named `localName`
    // (another free name when that one is taken; never replacing a file).
    // 0 when at least one byte was copied; otherwise 1 and no local file is left.
    int copyToLocalFile(const std::string& devicePath, const std::string& localDir, const std::string& localName,
                        std::string& localPath);
    int removePath(const std::string& path);
    int makeDirectory(const std::string& path);
    int renamePath(const std::string& from, const std::string& to);
    int fileOpen(const std::string& path, int mode, std::uint64_t& handle);
    int fileClose(std::uint64_t handle);
    std::optional<std::map<std::string, std::string>> fileInfo(const std::string& path);

protected:
    virtual const char* serviceName() const { return "com.apple.afc"; }
    std::unique_ptr<device::AfcConnection> afc_;
};

// The whole file system of a device that offers it.
class Afc2Service : public AfcService {
public:
    using AfcService::AfcService;

protected:
    const char* serviceName() const override { return "com.apple.afc2"; }
};

}  // namespace salvor::amd
