#pragma once

// `brimvault update [--yes] [--download-only]`: shows the offered update, asks before the
// daemon signs out to download it, shows the download's progress (and asks whether to retry
// a failed one), checks the downloaded file and hands it to the system's package installer
// on this terminal, or prints the command that installs it. Answers the exit status.
int runUpdateCommand(bool yes, bool downloadOnly);
