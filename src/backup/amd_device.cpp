#include "backup/amd_device.h"

#include <unistd.h>

#include <cstdio>

#include "platform/device_folder.h"
#include "platform/log.h"

namespace salvor::amd {

namespace {

// Held from a successful connect to the matching disconnect.
std::mutex g_connectionLock;

std::string withCode(const char* text, int code) {
    char buf[96];
    std::snprintf(buf, sizeof buf, text, code);
    return buf;
}

}  // namespace

// ---- notices ----

void MVDeviceNotify::deviceConnected(int index) {
    if (connected_) connected_(index);
}
void MVDeviceNotify::deviceDisconnected(int index) {
    if (disconnected_) disconnected_(index);
}

DeviceManager& DeviceManager::sharedManager() {
    static DeviceManager* manager = new DeviceManager(device::deviceSupport());
    return *manager;
}

DeviceManager::~DeviceManager() { unsubscribe(); }

void DeviceManager::setNotify(DeviceNotify* notify) {
    std::lock_guard lock(mutex_);
    notify_ = notify;
}

int DeviceManager::subscribe() {
    {
        std::lock_guard lock(mutex_);
        if (!notify_) log::line("* Subscibe without notify set", log::Level::Info);
    }
    const int rc = support_.subscribe([this](const device::DeviceHandle& h, int code) { notice(h, code); });
    if (rc == 0) subscribed_ = true;
    return rc;
}

int DeviceManager::unsubscribe() {
    if (!subscribed_) return 0;
    subscribed_ = false;
    return support_.unsubscribe();
}

void DeviceManager::notice(const device::DeviceHandle& handle, int code) {
    // The receiver is called without the list's lock: its handlers may read the list.
    if (code == device::kNoticeAdded) {
        DeviceNotify* notify = nullptr;
        int index = 0;
        {
            std::lock_guard lock(mutex_);
            devices_.push_back(std::make_unique<BaseDevice>(BaseDevice{handle}));
            index = static_cast<int>(devices_.size());
            notify = notify_;
        }
        if (notify) notify->deviceConnected(index);
        log::line("A device added", log::Level::Info);
    } else if (code == device::kNoticeRemoved) {
        const int index = indexOf(handle);
        if (index == 0) {
            log::line("* Remove an unknown device", log::Level::Info);
            return;
        }
        DeviceNotify* notify = nullptr;
        {
            std::lock_guard lock(mutex_);
            notify = notify_;
        }
        if (notify) notify->deviceDisconnected(index);
        std::lock_guard lock(mutex_);
        for (auto it = devices_.begin(); it != devices_.end(); ++it)
            if ((*it)->handle == handle) {
                devices_.erase(it);
                break;
            }
    }
}

std::optional<device::DeviceHandle> DeviceManager::deviceAt(int index) const {
    std::lock_guard lock(mutex_);
    if (index < 1) return std::nullopt;
    int i = 1;
    for (const auto& d : devices_)
        if (i++ == index) return d->handle;
    return std::nullopt;
}

int DeviceManager::indexOf(const device::DeviceHandle& handle) const {
    std::lock_guard lock(mutex_);
    int i = 1;
    for (const auto& d : devices_) {
        if (d->handle == handle) return i;
        ++i;
    }
    return 0;
}

int DeviceManager::count() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(devices_.size());
}

// ---- services ----

BaseService::~BaseService() = default;  // the socket closes with its last holder

int BaseService::open(int index) {
    const auto handle = manager_.deviceAt(index);
    if (!handle) {
        log::line("* Invalid device init", log::Level::Info);
        return 1;
    }
    index_ = index;
    device_ = std::make_unique<BaseDevice>(BaseDevice{*handle});
    return 0;
}

int BaseService::conversation(const std::function<int(device::Connection&)>& request) {
    if (!device_) return -1;
    std::unique_lock lock(g_connectionLock);
    std::unique_ptr<device::Connection> conn;
    int rc = manager_.support().connect(device_->handle, conn);
    if (rc != 0 || !conn) {
        log::line(withCode("* Can't connect (%d)", rc), log::Level::Info);
        problem_ = device::Problem::ConnectFailed;
        return rc != 0 ? rc : -1;
    }
    bool paired = conn->validatePairing() == 0;
    if (!paired) paired = conn->pair() == 0 && conn->isPaired();
    int result = 0;
    if (!paired) {
        log::line("* Invalid pair", log::Level::Info);
        problem_ = conn->problem() == device::Problem::None ? device::Problem::NotTrusted : conn->problem();
        result = 1;
    } else {
        const int s = conn->startSession();
        if (s != 0) {
            log::line(withCode("* Can't start session (%d)", s), log::Level::Info);
            problem_ = conn->problem() == device::Problem::None ? device::Problem::Other : conn->problem();
            result = s;
        } else {
            problem_ = device::Problem::None;
            result = request(*conn);
            const int t = conn->stopSession();
            if (t != 0) log::line(withCode("* Can't stop session (%d)", t), log::Level::Info);
        }
    }
    const int d = conn->disconnect();
    if (d != 0) log::line(withCode("* Can't disconnect (%d)", d), log::Level::Info);
    return result;
}

int BaseService::startService(const std::string& name) {
    return conversation([&](device::Connection& c) { return c.startService(name, socket_); });
}

plist::Document BaseInfo::copyValue(const std::string& domain, const std::string& key) {
    plist::Document value;
    const int rc = conversation([&](device::Connection& c) {
        value = c.copyValue(domain, key);
        return 0;
    });
    return rc == 0 ? value : plist::Document();
}

Text BaseInfo::stringValue(const std::string& key) {
    const plist::Document doc = copyValue("", key);
    return doc.root().asString();
}

std::map<std::string, std::optional<std::int64_t>> BaseInfo::diskUsage() {
    const plist::Document doc = copyValue("com.apple.disk_usage", "");
    std::map<std::string, std::optional<std::int64_t>> out;
    for (const char* key : {"TotalDiskCapacity", "TotalDataCapacity", "TotalSystemCapacity", "AmountDataAvailable",
                            "TotalSystemAvailable", "TotalDataAvailable"})
        out[key] = doc.rootDict().get(key).asInteger();
    return out;
}

AfcService::~AfcService() { afc_.reset(); }

int AfcService::open(int index) {
    if (int rc = BaseService::open(index); rc != 0) return rc;
    if (int rc = startService(serviceName()); rc != 0) return rc;
    if (!socket_) return 1;
    return manager_.support().afcConnectionOpen(*socket_, afc_);
}

std::optional<std::vector<std::string>> AfcService::readDirectory(const std::string& devicePath) {
    if (!afc_) return std::nullopt;
    auto names = afc_->readDirectory(devicePath);
    if (!names) return std::nullopt;
    std::erase_if(*names, [](const std::string& n) { return n.empty() || n == "." || n == ".."; });
    return names;
}

int AfcService::copyToLocalFile(const std::string& devicePath, const std::string& localDir,
                                const std::string& localName, std::string& localPath) {
    localPath.clear();
    if (!afc_) return 1;
    std::uint64_t handle = 0;
    if (afc_->fileOpen(devicePath, 1, handle) != 0) return 1;
    std::string made;
    const int fd = device::createNewFile(localDir, localName, made);
    if (fd < 0) {
        afc_->fileClose(handle);
        return 1;
    }
    std::uint64_t copied = 0;
    bool failed = false;
    char buf[4096];
    for (;;) {
        std::uint32_t got = 0;
        if (afc_->fileRead(handle, buf, sizeof buf, got) != 0) {
            failed = true;
            break;
        }
        if (got == 0) break;
        std::uint32_t done = 0;
        while (done < got) {
            const ssize_t w = ::write(fd, buf + done, got - done);
            if (w <= 0) break;
            done += static_cast<std::uint32_t>(w);
        }
        if (done != got) {
            failed = true;
            break;
        }
        copied += got;
    }
    afc_->fileClose(handle);
    ::close(fd);
    // A short or empty copy is not kept: it would be listed as a photo that is not one.
    if (failed || copied == 0) {
        ::unlink(made.c_str());
        return 1;
    }
    localPath = made;
    return 0;
}

int AfcService::removePath(const std::string& path) { return afc_ ? afc_->removePath(path) : 1; }
int AfcService::makeDirectory(const std::string& path) { return afc_ ? afc_->makeDirectory(path) : 1; }
int AfcService::renamePath(const std::string& from, const std::string& to) {
    return afc_ ? afc_->renamePath(from, to) : 1;
}
int AfcService::fileOpen(const std::string& path, int mode, std::uint64_t& handle) {
    return afc_ ? afc_->fileOpen(path, mode, handle) : 1;
}
int AfcService::fileClose(std::uint64_t handle) { return afc_ ? afc_->fileClose(handle) : 1; }
std::optional<std::map<std::string, std::string>> AfcService::fileInfo(const std::string& path) {
    if (!afc_) return std::nullopt;
    return afc_->fileInfo(path);
}

}  // namespace salvor::amd
