// The device-support adapter over libimobiledevice (USB devices through usbmuxd).
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <plist/plist.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/device_support.h"

namespace salvor::device {

namespace {

constexpr const char* kLabel = "salvor";

Problem problemOf(lockdownd_error_t e) {
    switch (e) {
        case LOCKDOWN_E_SUCCESS: return Problem::None;
        case LOCKDOWN_E_PASSWORD_PROTECTED: return Problem::Locked;
        case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        case LOCKDOWN_E_INVALID_HOST_ID: return Problem::NotTrusted;
        case LOCKDOWN_E_USER_DENIED_PAIRING: return Problem::PairingRefused;
        default: return Problem::Other;
    }
}

plist::Document toDocument(plist_t value) {
    if (!value) return {};
    char* xml = nullptr;
    uint32_t len = 0;
    plist_to_xml(value, &xml, &len);
    plist::Document doc = plist::Document::fromBytes(reinterpret_cast<const std::uint8_t*>(xml), len);
    if (xml) std::free(xml);
    return doc;
}

struct ImdSocket : ServiceSocket {
    idevice_t device = nullptr;
    lockdownd_service_descriptor_t service = nullptr;
    ~ImdSocket() override {
        if (service) lockdownd_service_descriptor_free(service);
        if (device) idevice_free(device);
    }
};

class ImdAfc : public AfcConnection {
public:
    ImdAfc(std::shared_ptr<ImdSocket> socket, afc_client_t client) : socket_(std::move(socket)), afc_(client) {}
    ~ImdAfc() override { afc_client_free(afc_); }
    std::optional<std::vector<std::string>> readDirectory(const std::string& path) override {
        char** list = nullptr;
        if (afc_read_directory(afc_, path.c_str(), &list) != AFC_E_SUCCESS || !list) return std::nullopt;
        std::vector<std::string> names;
        for (char** p = list; *p; ++p) names.emplace_back(*p);
        afc_dictionary_free(list);
        return names;
    }
    int fileOpen(const std::string& path, int mode, std::uint64_t& handle) override {
        return afc_file_open(afc_, path.c_str(), mode == 1 ? AFC_FOPEN_RDONLY : AFC_FOPEN_WRONLY, &handle);
    }
    int fileRead(std::uint64_t handle, char* data, std::uint32_t size, std::uint32_t& got) override {
        got = 0;
        return afc_file_read(afc_, handle, data, size, &got);
    }
    int fileClose(std::uint64_t handle) override { return afc_file_close(afc_, handle); }
    int removePath(const std::string& path) override { return afc_remove_path(afc_, path.c_str()); }
    int makeDirectory(const std::string& path) override { return afc_make_directory(afc_, path.c_str()); }
    int renamePath(const std::string& from, const std::string& to) override {
        return afc_rename_path(afc_, from.c_str(), to.c_str());
    }
    std::optional<std::map<std::string, std::string>> fileInfo(const std::string& path) override {
        char** info = nullptr;
        if (afc_get_file_info(afc_, path.c_str(), &info) != AFC_E_SUCCESS || !info) return std::nullopt;
        std::map<std::string, std::string> out;
        for (char** p = info; p[0] && p[1]; p += 2) out[p[0]] = p[1];
        afc_dictionary_free(info);
        return out;
    }

private:
    std::shared_ptr<ImdSocket> socket_;
    afc_client_t afc_;
};

class ImdConnection : public Connection {
public:
    ImdConnection(std::string udid, idevice_t device, lockdownd_client_t client)
        : udid_(std::move(udid)), device_(device), client_(client) {}
    ~ImdConnection() override { disconnect(); }
    int validatePairing() override { return note(lockdownd_validate_pair(client_, nullptr)); }
    int pair() override { return note(lockdownd_pair(client_, nullptr)); }
    bool isPaired() override { return lockdownd_validate_pair(client_, nullptr) == LOCKDOWN_E_SUCCESS; }
    // The handshake client reads this computer's pair record and starts the
    // session with it; freeing it stops the session.
    int startSession() override {
        if (session_) return 0;
        return note(lockdownd_client_new_with_handshake(device_, &session_, kLabel));
    }
    int stopSession() override {
        if (!session_) return 0;
        lockdownd_client_free(session_);
        session_ = nullptr;
        return 0;
    }
    int startService(const std::string& name, std::shared_ptr<ServiceSocket>& socket) override {
        if (!session_) return -1;
        auto s = std::make_shared<ImdSocket>();
        // The service outlives this connection: it keeps a device handle of its own.
        if (idevice_new_with_options(&s->device, udid_.c_str(), IDEVICE_LOOKUP_USBMUX) != IDEVICE_E_SUCCESS)
            return -1;
        const lockdownd_error_t e = lockdownd_start_service(session_, name.c_str(), &s->service);
        if (e != LOCKDOWN_E_SUCCESS) return note(e);
        socket = s;
        return 0;
    }
    plist::Document copyValue(const std::string& domain, const std::string& key) override {
        plist_t value = nullptr;
        lockdownd_client_t c = session_ ? session_ : client_;
        if (lockdownd_get_value(c, domain.empty() ? nullptr : domain.c_str(), key.empty() ? nullptr : key.c_str(),
                                &value) != LOCKDOWN_E_SUCCESS)
            return {};
        plist::Document doc = toDocument(value);
        plist_free(value);
        return doc;
    }
    int disconnect() override {
        stopSession();
        if (client_) lockdownd_client_free(client_);
        if (device_) idevice_free(device_);
        client_ = nullptr;
        device_ = nullptr;
        return 0;
    }
    Problem problem() const override { return problem_; }

private:
    int note(lockdownd_error_t e) {
        if (e != LOCKDOWN_E_SUCCESS) problem_ = problemOf(e);
        return e;
    }
    std::string udid_;
    idevice_t device_;
    lockdownd_client_t client_;
    lockdownd_client_t session_ = nullptr;
    Problem problem_ = Problem::None;
};

class ImdSupport : public DeviceSupport {
public:
    std::optional<std::string> unavailable() override {
        // usbmuxd listens on a Unix socket (or where USBMUXD_SOCKET_ADDRESS says).
        const char* env = std::getenv("USBMUXD_SOCKET_ADDRESS");
        if (env && *env && std::strncmp(env, "UNIX:", 5) != 0) return std::nullopt;
        const std::string path = env && *env ? std::string(env + 5) : "/var/run/usbmuxd";
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return std::nullopt;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (ok) return std::nullopt;
        return std::string("usbmuxd is not running: start it (for example 'sudo systemctl start usbmuxd') "
                           "or reconnect the device so that it starts");
    }
    int subscribe(NoticeCallback callback) override {
        {
            std::lock_guard lock(mutex_);
            callback_ = std::move(callback);
            expected_.clear();
            announced_.clear();
            idevice_info_t* list = nullptr;
            int count = 0;
            if (idevice_get_device_list_extended(&list, &count) == IDEVICE_E_SUCCESS && list) {
                for (int i = 0; i < count; ++i)
                    if (list[i] && list[i]->conn_type == CONNECTION_USBMUXD) expected_.insert(list[i]->udid);
                idevice_device_list_extended_free(list);
            }
        }
        return idevice_event_subscribe(&ImdSupport::onEvent, this);
    }
    int unsubscribe() override {
        const int rc = idevice_event_unsubscribe();
        std::lock_guard lock(mutex_);
        callback_ = nullptr;
        return rc;
    }
    void settle() override {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(2), [this] {
            for (const auto& u : expected_)
                if (!announced_.count(u)) return false;
            return true;
        });
    }
    int connect(const DeviceHandle& udid, std::unique_ptr<Connection>& connection) override {
        idevice_t dev = nullptr;
        const idevice_error_t e = idevice_new_with_options(&dev, udid.c_str(), IDEVICE_LOOKUP_USBMUX);
        if (e != IDEVICE_E_SUCCESS) return e;
        lockdownd_client_t client = nullptr;
        const lockdownd_error_t le = lockdownd_client_new(dev, &client, kLabel);
        if (le != LOCKDOWN_E_SUCCESS) {
            idevice_free(dev);
            return le;
        }
        connection = std::make_unique<ImdConnection>(udid, dev, client);
        return 0;
    }
    int afcConnectionOpen(ServiceSocket& socket, std::unique_ptr<AfcConnection>& connection) override {
        auto* s = dynamic_cast<ImdSocket*>(&socket);
        if (!s || !s->device || !s->service) return 1;
        afc_client_t afc = nullptr;
        const afc_error_t e = afc_client_new(s->device, s->service, &afc);
        if (e != AFC_E_SUCCESS) return e;
        // The connection keeps the socket's device handle alive.
        auto keep = std::make_shared<ImdSocket>();
        std::swap(keep->device, s->device);
        std::swap(keep->service, s->service);
        connection = std::make_unique<ImdAfc>(keep, afc);
        return 0;
    }
    std::unique_ptr<BackupTool> backupTool() override;

private:
    static void onEvent(const idevice_event_t* event, void* self) {
        if (!event || !event->udid || event->conn_type != CONNECTION_USBMUXD) return;
        auto* me = static_cast<ImdSupport*>(self);
        int code = 0;
        if (event->event == IDEVICE_DEVICE_ADD) code = kNoticeAdded;
        else if (event->event == IDEVICE_DEVICE_REMOVE) code = kNoticeRemoved;
        else return;
        NoticeCallback cb;
        {
            std::lock_guard lock(me->mutex_);
            if (code == kNoticeAdded) me->announced_.insert(event->udid);
            cb = me->callback_;
        }
        if (cb) cb(event->udid, code);
        me->changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    NoticeCallback callback_;
    std::set<std::string> expected_, announced_;
};

// idevicebackup2 writes <root>/<udid> and prints its progress as a bar with a percentage.
class Idevicebackup2 : public BackupTool {
public:
    std::optional<std::string> missing() override {
        if (programOnPath("idevicebackup2")) return std::nullopt;
        return std::string("the backup tool idevicebackup2 is not installed: install the package "
                           "libimobiledevice-utils");
    }
    BackupRun run(const std::string& udid, const std::string& root, const std::function<void(int)>& progress) override {
        BackupRun result;
        int best = -1;
        std::string carry;
        auto onOutput = [&](const std::string& chunk) {
            carry += chunk;
            // Whole pieces only: the bar is redrawn after a carriage return.
            const std::size_t cut = carry.find_last_of("\r\n");
            if (cut == std::string::npos) return;
            for (int p : percentagesIn(carry.substr(0, cut + 1))) {
                const int scaled = std::clamp(p, 0, 100) * 20 / 100;
                if (scaled > best) {
                    best = scaled;
                    if (progress) progress(scaled);
                }
            }
            result.outputTail += carry.substr(0, cut + 1);
            if (result.outputTail.size() > 2000) result.outputTail.erase(0, result.outputTail.size() - 2000);
            carry.erase(0, cut + 1);
        };
        result.exitStatus = runProgram("idevicebackup2", {"idevicebackup2", "-u", udid, "backup", root}, onOutput,
                                       &result.started);
        result.outputTail += carry;
        return result;
    }
};

std::unique_ptr<BackupTool> ImdSupport::backupTool() { return std::make_unique<Idevicebackup2>(); }

}  // namespace

std::unique_ptr<DeviceSupport> makeLibimobiledeviceSupport() { return std::make_unique<ImdSupport>(); }

}  // namespace salvor::device
