// The start-up check: asks the service whether this version is still served, then either unlocks the
// login form or tells the user to update, opens the download page and closes the program.
#pragma once

#include <string>

// Opens a web page (the shell's "open" verb, shown normally). Replaceable by tests only.
using PageOpener = void (*)(const std::wstring& address);
void SetPageOpenerForTesting(PageOpener opener);  // null restores the shell

// "https://" + the host (and the port, when the endpoint names one) of `endpoint` + "/download/";
// empty when the endpoint has no host.
std::wstring DefaultDownloadPage(const std::wstring& endpoint);

// True only for an http:// or https:// address (scheme in any letter case) that names a host and
// contains no spaces or control characters.
bool IsWebAddress(const std::wstring& address);

// The page to open: the served address when it is a web address, otherwise the default page.
std::wstring ChooseDownloadPage(const std::wstring& servedAddress, const std::wstring& endpoint);

// The text of the update notice; an empty version reads "最新版本".
std::wstring ComposeUpdateNotice(const std::wstring& latestVersion);

// The job itself (blocks on the network and, when an update is required, on the notice). Made again
// while it fails on the way, as long as the main window it was started for is open.
void RunStartupCheck();

// Starts RunStartupCheck on a detached worker thread.
void StartStartupCheck();
