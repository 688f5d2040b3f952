// The commit of a staged update and the end of a transaction's staging directory.
#pragma once

#include "common/progress.h"
#include "install/transaction.h"

#include <functional>
#include <string>

namespace tavrel {

inline constexpr char acceptance_marker_name[] = ".accepted";
inline constexpr char acceptance_marker_text[] = "Tavrel update backup\n";

// Starts the updated application and says whether it confirmed its start.
using relaunch_callable = std::function<bool(const path& executable)>;

// False: `error` holds the user's message and the moves have been undone where possible. True
// with a message in `error`: installed and confirmed, but the acceptance could not be made
// durable; the staging directory stays for a later run to settle.
// `progress`, when given, follows the files moved.
bool commit_update(update_transaction& transaction, const relaunch_callable& relaunch_handler,
                   std::string& error, progress_meter* progress = nullptr);
// Removes a staging directory; with `accepted_last` the acceptance marker goes last.
void remove_transaction_directory(const path& directory, bool accepted_last) noexcept;

} // namespace tavrel
