// Event names, spelled exactly as the scan and the result store exchange them.
#pragma once

namespace salvor::events {

inline constexpr const char* ScanProgressInfo = "ScanProgressInfo";
inline constexpr const char* FindBackUpDirFileInfo = "FindBackUpDirFileInfo";
inline constexpr const char* ScanPhotoAndVideo = "ScanPhotoAndVideo";
inline constexpr const char* scanFaceTwitterInfo = "scanFaceTwitterInfo";
inline constexpr const char* ScanIOSDeviceInfo = "ScanIOSDeviceInfo";
// A problem that cost the scan data (object: std::string, one sentence for the
// person): a damaged file list, a private copy that could not be made...
inline constexpr const char* ScanProblemInfo = "ScanProblemInfo";
// A line saying what the scan is doing where no count shows it (std::string).
inline constexpr const char* ScanStatusText = "ScanStatusText";

inline constexpr const char* ScanContactInfo = "ScanContactInfo";
inline constexpr const char* ScanMessageInfo = "ScanMessageInfo";
inline constexpr const char* ScanNoteInfo = "ScanNoteInfo";
inline constexpr const char* ScanCallHistoryInfo = "ScanCallHistoryInfo";
inline constexpr const char* scanBookMarkInfo = "scanBookMarkInfo";
inline constexpr const char* scanCalendarInfo = "scanCalendarInfo";

inline constexpr const char* ScanDelContactInfo = "ScanDelContactInfo";
inline constexpr const char* ScanDelMessageInfo = "ScanDelMessageInfo";
inline constexpr const char* ScanDelNoteInfo = "ScanDelNoteInfo";
inline constexpr const char* ScanDelCallHistoryInfo = "ScanDelCallHistoryInfo";
inline constexpr const char* scanDelBookMarkInfo = "scanDelBookMarkInfo";
inline constexpr const char* scanDelCalendarInfo = "scanDelCalendarInfo";

inline constexpr const char* DeviceConnect = "DeviceConnect";
inline constexpr const char* DeviceDisConnect = "DeviceDisConnect";
inline constexpr const char* RefreshNodeSelctedStatu = "RefreshNodeSelctedStatu";

}  // namespace salvor::events
