// The texts of a patch by key: the one list of what each key is for, which
// the installer reads its texts by and the tool writes, checks and shows them
// by. Keys 16-19, 38 and 39 have no role.
#pragma once

constexpr int kTextKeyMax = 49;

enum class TextKey : int {
  ProductName = 0,
  FromVersion = 1,
  ToVersion = 2,
  UninstallKeys = 3,
  Note = 4,
  Caption = 5,
  Confirm = 6,
  Finished = 7,
  Incomplete = 8,
  InstallFolderKey = 9,
  CheckingRunning = 10,
  CheckingInstalled = 11,
  UpdateRunning = 12,
  UpdatingFile = 13,
  UpdateEnded = 14,
  ClosingApplication = 15,
  BrowsePrompt = 20,
  ApplicationRunning = 21,
  ApplicationNotClosed = 22,
  FileNotFound = 23,
  AlreadyUpdated = 24,
  OtherVersion = 25,
  CannotOpen = 26,
  CannotMap = 27,
  CannotCreateTemp = 28,
  UpdateFailed = 29,
  RenameFailed = 30,
  NotUpdated = 31,
  FaultyData = 32,
  DriveScanSlow = 33,
  FoundOtherVersion = 34,
  FoundUpdateHere = 35,
  AllUpToDate = 36,
  RestartNeeded = 37,
  App1Class = 40,
  App1Name = 41,
  App2Class = 42,
  App2Name = 43,
  App3Class = 44,
  App3Name = 45,
  App4Class = 46,
  App4Name = 47,
  App5Class = 48,
  App5Name = 49,
};

// Application `index` (0-4) of those the patch names to close: the window
// class, and its display name in the key after it.
constexpr TextKey AppClassKey(int index) { return TextKey(int(TextKey::App1Class) + 2 * index); }
constexpr TextKey AppNameKey(int index) { return TextKey(int(TextKey::App1Name) + 2 * index); }
constexpr int kAppKeyPairs = 5;

struct TextKeyRole {
  TextKey key;
  const char* name;     // snake_case, as written in project files
  const char* args;     // what the installer passes, in order: 's' a text, 'u' a 32-bit number
  bool isFormat;        // the installer formats it (caption, box, progress line)
  const char* summary;  // what it is for, as inspect shows it
};

// Every key that has a role, in key order.
constexpr TextKeyRole kTextKeyRoles[] = {
    {TextKey::ProductName, "product_name", "", false, "product name"},
    {TextKey::FromVersion, "from_version", "", false, "old version"},
    {TextKey::ToVersion, "to_version", "", false, "new version"},
    {TextKey::UninstallKeys, "uninstall_keys", "", false, "uninstall registry subkeys (';'-separated)"},
    {TextKey::Note, "note", "", false, "note line in the confirmation question"},
    {TextKey::Caption, "caption", "ss", true, "caption format (product, new version)"},
    {TextKey::Confirm, "confirm", "ssss", true, "confirmation question (product, old version, new version, note)"},
    {TextKey::Finished, "finished", "ss", true, "update finished (product, new version)"},
    {TextKey::Incomplete, "incomplete", "ss", true, "update incomplete (product, new version)"},
    {TextKey::InstallFolderKey, "install_folder_key", "", false, "registry value naming the install folder"},
    {TextKey::CheckingRunning, "checking_running", "s", true, "progress: checking for running instances (product)"},
    {TextKey::CheckingInstalled, "checking_installed", "s", true, "progress: checking the installed product (product)"},
    {TextKey::UpdateRunning, "update_running", "", true, "progress: update running"},
    {TextKey::UpdatingFile, "updating_file", "s", true, "progress: updating a file (file name)"},
    {TextKey::UpdateEnded, "update_ended", "", true, "progress: update ended"},
    {TextKey::ClosingApplication, "closing_application", "s", true, "progress: closing an application (application)"},
    {TextKey::BrowsePrompt, "browse_prompt", "s", true, "folder browser prompt (product)"},
    {TextKey::ApplicationRunning, "application_running", "s", true, "an application is running, close it (application)"},
    {TextKey::ApplicationNotClosed, "application_not_closed", "s", true, "an application did not close (application)"},
    {TextKey::FileNotFound, "file_not_found", "s", true, "file not found (file name)"},
    {TextKey::AlreadyUpdated, "already_updated", "", false, "never shown"},
    {TextKey::OtherVersion, "other_version", "s", true, "installed file of another version (path)"},
    {TextKey::CannotOpen, "cannot_open", "su", true, "file cannot be opened (path, error code)"},
    {TextKey::CannotMap, "cannot_map", "su", true, "file cannot be mapped (path, error code)"},
    {TextKey::CannotCreateTemp, "cannot_create_temp", "s", true, "temporary file cannot be created (path)"},
    {TextKey::UpdateFailed, "update_failed", "s", true, "update of a file failed (path)"},
    {TextKey::RenameFailed, "rename_failed", "ss", true, "renaming failed, repair by hand (temporary path, target path)"},
    {TextKey::NotUpdated, "not_updated", "ss", true, "update not done (product, new version)"},
    {TextKey::FaultyData, "faulty_data", "s", true, "update data faulty (patch path)"},
    {TextKey::DriveScanSlow, "drive_scan_slow", "s", true, "drive scan takes long, go on? (file name)"},
    {TextKey::FoundOtherVersion, "found_other_version", "ss", true, "found but of another version, search on? (file name, folder)"},
    {TextKey::FoundUpdateHere, "found_update_here", "ss", true, "found, update this folder? (file name, folder)"},
    {TextKey::AllUpToDate, "all_up_to_date", "", true, "all files already up to date"},
    {TextKey::RestartNeeded, "restart_needed", "ss", true, "restart Windows to complete (product, new version)"},
    {TextKey::App1Class, "app1_class", "", false, "window class of application 1"},
    {TextKey::App1Name, "app1_name", "", false, "display name of application 1"},
    {TextKey::App2Class, "app2_class", "", false, "window class of application 2"},
    {TextKey::App2Name, "app2_name", "", false, "display name of application 2"},
    {TextKey::App3Class, "app3_class", "", false, "window class of application 3"},
    {TextKey::App3Name, "app3_name", "", false, "display name of application 3"},
    {TextKey::App4Class, "app4_class", "", false, "window class of application 4"},
    {TextKey::App4Name, "app4_name", "", false, "display name of application 4"},
    {TextKey::App5Class, "app5_class", "", false, "window class of application 5"},
    {TextKey::App5Name, "app5_name", "", false, "display name of application 5"},
};
