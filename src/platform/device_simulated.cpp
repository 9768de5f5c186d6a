// The simulated device: devices described by files (see device_support.h),
// with an AFC root and a backup folder on this computer and scripted events.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>

#include "platform/device_support.h"
#include "platform/log.h"

namespace salvor::device {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

void xmlEscape(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
}

void toXml(std::string& out, const json& v) {
    if (v.is_object()) {
        out += "<dict>";
        for (auto it = v.begin(); it != v.end(); ++it) {
            out += "<key>";
            xmlEscape(out, it.key());
            out += "</key>";
            toXml(out, it.value());
        }
        out += "</dict>";
    } else if (v.is_array()) {
        out += "<array>";
        for (const auto& e : v) toXml(out, e);
        out += "</array>";
    } else if (v.is_boolean()) {
        out += v.get<bool>() ? "<true/>" : "<false/>";
    } else if (v.is_number_integer()) {
        out += "<integer>" + std::to_string(v.get<long long>()) + "</integer>";
    } else if (v.is_number()) {
        out += "<real>" + std::to_string(v.get<double>()) + "</real>";
    } else if (v.is_string()) {
        out += "<string>";
        xmlEscape(out, v.get<std::string>());
        out += "</string>";
    } else {
        out += "<string></string>";
    }
}

// A JSON value as the property-list document a device would send.
plist::Document toPlist(const json& v) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    toXml(xml, v);
    xml += "</plist>";
    return plist::Document::fromBytes(reinterpret_cast<const std::uint8_t*>(xml.data()), xml.size());
}

json readJson(const std::string& path) {
    std::ifstream in(path);
    if (!in) return {};
    json j = json::parse(in, nullptr, false);
    return j.is_discarded() || !j.is_object() ? json() : j;
}

// A device path inside `root`; empty when it would leave it.
std::string localPath(const std::string& root, const std::string& devicePath) {
    if (root.empty()) return {};
    const fs::path rel = fs::path(devicePath).relative_path();
    for (const auto& part : rel)
        if (part == "..") return {};
    return (fs::path(root) / rel).string();
}

struct SimulatedDevice {
    std::string udid;
    std::string folder;        // the device's description folder
    std::string backupFolder;  // what the backup tool writes, may be empty
    std::string mediaFolder;   // the AFC root on this computer, may be empty
    bool removeDuringBackup = false;
    int toolExitStatus = 0;
    std::string snapshotState = "finished";
    std::vector<int> progress;  // percentages the tool prints
};

struct Description {
    SimulatedDevice device;
    json values;
    std::string pairing = "paired";
    std::set<std::string> unreadable;
};

std::vector<Description> readDescriptions(const std::string& folder) {
    std::vector<Description> out;
    std::error_code ec;
    std::vector<fs::path> dirs;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.is_directory(ec) && fs::exists(e.path() / "device.json", ec)) dirs.push_back(e.path());
    std::sort(dirs.begin(), dirs.end());
    for (const auto& dir : dirs) {
        const json j = readJson((dir / "device.json").string());
        if (!j.contains("udid") || !j["udid"].is_string()) continue;
        // A description with a value of the wrong type describes no device.
        try {
            Description d;
            d.device.udid = j["udid"].get<std::string>();
            d.device.folder = dir.string();
            auto rel = [&](const char* key) {
                return j.contains(key) && j[key].is_string() ? (dir / j[key].get<std::string>()).string() : std::string();
            };
            d.device.mediaFolder = rel("media");
            d.device.backupFolder = rel("backup");
            d.values = j.value("values", json::object());
            if (j.contains("pairing") && j["pairing"].is_string()) d.pairing = j["pairing"].get<std::string>();
            if (j.contains("unreadable") && j["unreadable"].is_array())
                for (const auto& u : j["unreadable"])
                    if (u.is_string()) d.unreadable.insert(u.get<std::string>());
            const json tool = j.value("tool", json::object());
            if (tool.is_object()) {
                d.device.toolExitStatus = tool.value("exit", 0);
                d.device.snapshotState = tool.value("snapshotState", std::string("finished"));
                d.device.removeDuringBackup = tool.value("removeDuringBackup", false);
                if (tool.contains("progress") && tool["progress"].is_array())
                    for (const auto& p : tool["progress"])
                        if (p.is_number_integer()) d.device.progress.push_back(p.get<int>());
            }
            if (d.device.progress.empty()) d.device.progress = {0, 25, 50, 75, 100};
            out.push_back(std::move(d));
        } catch (const json::exception& e) {
            log::line("simulated device " + dir.string() + " skipped: " + e.what(), log::Level::Error);
        }
    }
    return out;
}

class SimAfc : public AfcConnection {
public:
    SimAfc(std::string root, std::set<std::string> unreadable)
        : root_(std::move(root)), unreadable_(std::move(unreadable)) {}
    ~SimAfc() override {
        for (auto& [h, f] : files_) std::fclose(f);
    }
    std::optional<std::vector<std::string>> readDirectory(const std::string& path) override {
        const std::string local = localPath(root_, path);
        std::error_code ec;
        if (local.empty() || !fs::is_directory(local, ec)) return std::nullopt;
        std::vector<std::string> names{".", ".."};
        for (const auto& e : fs::directory_iterator(local, ec)) names.push_back(e.path().filename().string());
        std::sort(names.begin() + 2, names.end());
        return names;
    }
    int fileOpen(const std::string& path, int mode, std::uint64_t& handle) override {
        const std::string local = localPath(root_, path);
        if (local.empty() || unreadable_.count(path)) return 8;
        // The device's own files: a link is not followed out of the device's
        // folder and a FIFO does not block; only a regular file is read.
        const int fd = mode == 1 ? ::open(local.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                                 : ::open(local.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
        struct stat st {};
        if (fd < 0) return 8;
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            ::close(fd);
            return 8;
        }
        std::FILE* f = ::fdopen(fd, mode == 1 ? "rb" : "wb");
        if (!f) {
            ::close(fd);
            return 8;
        }
        handle = ++next_;
        files_[handle] = f;
        return 0;
    }
    int fileRead(std::uint64_t handle, char* data, std::uint32_t size, std::uint32_t& got) override {
        got = 0;
        auto it = files_.find(handle);
        if (it == files_.end()) return 7;
        got = static_cast<std::uint32_t>(std::fread(data, 1, size, it->second));
        return std::ferror(it->second) ? 4 : 0;
    }
    int fileClose(std::uint64_t handle) override {
        auto it = files_.find(handle);
        if (it == files_.end()) return 7;
        std::fclose(it->second);
        files_.erase(it);
        return 0;
    }
    int removePath(const std::string& path) override {
        const std::string local = localPath(root_, path);
        std::error_code ec;
        return !local.empty() && fs::remove(local, ec) ? 0 : 8;
    }
    int makeDirectory(const std::string& path) override {
        const std::string local = localPath(root_, path);
        std::error_code ec;
        if (local.empty()) return 8;
        fs::create_directories(local, ec);
        return ec ? 8 : 0;
    }
    int renamePath(const std::string& from, const std::string& to) override {
        const std::string a = localPath(root_, from), b = localPath(root_, to);
        std::error_code ec;
        if (a.empty() || b.empty()) return 8;
        fs::rename(a, b, ec);
        return ec ? 8 : 0;
    }
    std::optional<std::map<std::string, std::string>> fileInfo(const std::string& path) override {
        const std::string local = localPath(root_, path);
        struct stat st {};
        if (local.empty() || ::lstat(local.c_str(), &st) != 0) return std::nullopt;
        return std::map<std::string, std::string>{
            {"st_size", std::to_string(st.st_size)},
            {"st_ifmt", S_ISDIR(st.st_mode)    ? "S_IFDIR"
                        : S_ISLNK(st.st_mode)  ? "S_IFLNK"
                        : S_ISFIFO(st.st_mode) ? "S_IFIFO"
                        : S_ISSOCK(st.st_mode) ? "S_IFSOCK"
                        : S_ISCHR(st.st_mode)  ? "S_IFCHR"
                        : S_ISBLK(st.st_mode)  ? "S_IFBLK"
                                               : "S_IFREG"}};
    }

private:
    std::string root_;
    std::set<std::string> unreadable_;
    std::map<std::uint64_t, std::FILE*> files_;
    std::uint64_t next_ = 0;
};

struct SimSocket : ServiceSocket {
    std::string udid;
    std::string service;
};

class SimSupport;

class SimConnection : public Connection {
public:
    SimConnection(SimSupport& owner, const Description& d) : owner_(owner), d_(d) {}
    int validatePairing() override {
        if (d_.pairing == "paired") return 0;
        problem_ = d_.pairing == "locked" ? Problem::Locked : Problem::NotTrusted;
        return -3;
    }
    int pair() override {
        if (d_.pairing == "unpaired") {
            paired_ = true;
            return 0;
        }
        problem_ = d_.pairing == "locked"   ? Problem::Locked
                   : d_.pairing == "refused" ? Problem::PairingRefused
                                             : Problem::NotTrusted;
        return -18;
    }
    bool isPaired() override { return d_.pairing == "paired" || paired_; }
    int startSession() override {
        inSession_ = true;
        return 0;
    }
    int stopSession() override {
        inSession_ = false;
        return 0;
    }
    int startService(const std::string& name, std::shared_ptr<ServiceSocket>& socket) override;
    plist::Document copyValue(const std::string& domain, const std::string& key) override {
        if (!inSession_ || !d_.values.contains(domain)) return {};
        const json& dom = d_.values[domain];
        if (key.empty()) return toPlist(dom);
        if (!dom.is_object() || !dom.contains(key)) return {};
        return toPlist(dom[key]);
    }
    int disconnect() override { return 0; }
    Problem problem() const override { return problem_; }

private:
    SimSupport& owner_;
    const Description& d_;
    bool paired_ = false;
    bool inSession_ = false;
    Problem problem_ = Problem::None;
};

class SimBackupTool : public BackupTool {
public:
    SimBackupTool(SimSupport& owner) : owner_(owner) {}
    std::optional<std::string> missing() override { return std::nullopt; }
    BackupRun run(const std::string& udid, const std::string& root, const std::function<void(int)>& progress) override;

private:
    SimSupport& owner_;
};

class SimSupport : public DeviceSupport {
public:
    explicit SimSupport(std::string folder) : folder_(std::move(folder)), devices_(readDescriptions(folder_)) {}
    std::optional<std::string> unavailable() override {
        std::error_code ec;
        if (fs::exists(fs::path(folder_) / "no-usbmuxd", ec))
            return std::string("usbmuxd is not running: start it (for example 'sudo systemctl start usbmuxd') "
                               "or reconnect the device so that it starts");
        return std::nullopt;
    }
    int subscribe(NoticeCallback callback) override {
        std::vector<std::string> present;
        {
            std::lock_guard lock(mutex_);
            callback_ = std::move(callback);
            for (const auto& d : devices_) present.push_back(d.device.udid);
        }
        for (const auto& udid : present) notice(udid, kNoticeAdded);
        return 0;
    }
    int unsubscribe() override {
        std::lock_guard lock(mutex_);
        callback_ = nullptr;
        return 0;
    }
    int connect(const DeviceHandle& device, std::unique_ptr<Connection>& connection) override {
        std::lock_guard lock(mutex_);
        const Description* d = find(device);
        if (!d || removed_.count(device)) return -4;
        connection = std::make_unique<SimConnection>(*this, *d);
        return 0;
    }
    int afcConnectionOpen(ServiceSocket& socket, std::unique_ptr<AfcConnection>& connection) override {
        auto* s = dynamic_cast<SimSocket*>(&socket);
        if (!s) return 1;
        std::lock_guard lock(mutex_);
        const Description* d = find(s->udid);
        if (!d) return 1;
        connection = std::make_unique<SimAfc>(d->device.mediaFolder, d->unreadable);
        return 0;
    }
    std::unique_ptr<BackupTool> backupTool() override { return std::make_unique<SimBackupTool>(*this); }
    bool simulated() const override { return true; }

    void notice(const DeviceHandle& udid, int code) {
        NoticeCallback cb;
        {
            std::lock_guard lock(mutex_);
            if (code == kNoticeRemoved) removed_.insert(udid);
            if (code == kNoticeAdded) removed_.erase(udid);
            cb = callback_;
        }
        if (cb) cb(udid, code);
    }
    const Description* find(const std::string& udid) const {
        for (const auto& d : devices_)
            if (d.device.udid == udid) return &d;
        return nullptr;
    }
    bool present(const std::string& udid) {
        std::lock_guard lock(mutex_);
        return find(udid) && !removed_.count(udid);
    }

private:
    std::string folder_;
    std::vector<Description> devices_;
    std::mutex mutex_;
    NoticeCallback callback_;
    std::set<std::string> removed_;
};

int SimConnection::startService(const std::string& name, std::shared_ptr<ServiceSocket>& socket) {
    if (!inSession_) return -1;
    if (name != "com.apple.afc" || d_.device.mediaFolder.empty()) return -17;  // as a device without the service
    auto s = std::make_shared<SimSocket>();
    s->udid = d_.device.udid;
    s->service = name;
    socket = s;
    (void)owner_;
    return 0;
}

// Writes the described backup as <root>/<udid>, as the real tool does, with
// the scripted progress, exit status, snapshot state and removal.
BackupRun SimBackupTool::run(const std::string& udid, const std::string& root, const std::function<void(int)>& progress) {
    BackupRun result;
    const Description* d = owner_.find(udid);
    if (!d || !owner_.present(udid)) {
        result.started = true;
        result.exitStatus = 1;
        result.outputTail = "ERROR: Device " + udid + " not found";
        return result;
    }
    result.started = true;
    const SimulatedDevice& dev = d->device;
    const fs::path target = fs::path(root) / udid;
    std::error_code ec;
    fs::create_directories(target, ec);
    if (!dev.backupFolder.empty())
        fs::copy(dev.backupFolder, target, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
    const std::size_t half = dev.progress.size() / 2;
    for (std::size_t i = 0; i < dev.progress.size(); ++i) {
        if (dev.removeDuringBackup && i == half) {
            owner_.notice(udid, kNoticeRemoved);
            result.exitStatus = 1;
            result.outputTail = "ERROR: Device disconnected during backup";
            return result;
        }
        if (progress) progress(std::clamp(dev.progress[i], 0, 100) * 20 / 100);
    }
    // The tool's record of the snapshot, as idevicebackup2 leaves it.
    std::ofstream status(target / "Status.plist", std::ios::trunc);
    status << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>IsFullBackup</key><false/><key>SnapshotState</key><string>"
           << dev.snapshotState << "</string><key>Version</key><string>3.3</string></dict></plist>\n";
    result.exitStatus = dev.toolExitStatus;
    result.outputTail = dev.toolExitStatus == 0 ? "Backup Successful." : "Backup Failed.";
    return result;
}

}  // namespace

std::unique_ptr<DeviceSupport> makeSimulatedSupport(const std::string& folder) {
    return std::make_unique<SimSupport>(folder);
}

bool simulateNotice(DeviceSupport& support, const DeviceHandle& device, int code) {
    auto* sim = dynamic_cast<SimSupport*>(&support);
    if (!sim) return false;
    sim->notice(device, code);
    return true;
}

DeviceSupport& deviceSupport() {
    static DeviceSupport* support = [] {
        const char* dir = std::getenv(kSimulatedDeviceVariable);
        if (dir && *dir) {
            log::line(std::string("simulated device from ") + dir, log::Level::Info);
            return makeSimulatedSupport(dir).release();
        }
        return makeLibimobiledeviceSupport().release();
    }();
    return *support;
}

}  // namespace salvor::device
