// What the program asks of the system for itself as it starts.
#pragma once

namespace platform {

// Has the system refuse to follow, for this process, redirections that a less
// privileged user could have planted: on Windows, Redirection Guard, where
// the system has it (a junction that a non-administrator made is then not
// followed, and what tried fails as any other access does); elsewhere, and
// where the system lacks it, nothing changes. Returns whether the system
// reports it in force for this process afterwards: never elsewhere, nor where
// the system lacks it, refused it or cannot say.
bool RequestRedirectionGuard();

}  // namespace platform
