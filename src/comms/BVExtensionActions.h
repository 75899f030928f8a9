#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/Data.h"

class BVUserInfoItem;

// The actions of the extension channel and what each carries.
namespace BVExtensionActions {

inline constexpr const char* kAlive = "ext_alive";
inline constexpr const char* kInit = "ext_init";
inline constexpr const char* kRequestUserInfo = "ext_req_userinfo";
inline constexpr const char* kBroadcastUserInfo = "ext_bc_userinfo";
inline constexpr const char* kShare = "ext_share";
inline constexpr const char* kShowProperties = "ext_show_props";
inline constexpr const char* kRefreshFolder = "ext_refresh_folder";
inline constexpr const char* kMoveToTrash = "ext_movetotrash";
inline constexpr const char* kTrashDelete = "ext_trashdelete";
inline constexpr const char* kTrashRestore = "ext_trashrestore";
inline constexpr const char* kEmptyTrash = "ext_emptytrash";
inline constexpr const char* kObserveBegin = "ext_obs_beg";
inline constexpr const char* kObserveEnd = "ext_obs_end";
inline constexpr const char* kServerShutdown = "ext_serv_shtd";
inline constexpr const char* kActivityBegin = "ext_act_beg";
inline constexpr const char* kActivityEnd = "ext_act_end";

// How a receiver hands a message to its handler.
enum class Parser { Alive, ObservingStatus, ArchivedData };
// The kind of one argument.
enum class ArgKind { String, StringArray, UserInfo };

struct Entry {
    const char* action;
    Parser parser;
    std::vector<ArgKind> args;
};

// The entry of action; nullptr for a name that is not in the table.
const Entry* find(const std::string& action);
const std::vector<Entry>& table();

// An unarchived argument: a path, an array of paths, or a user-info record.
using Value = std::variant<std::string, std::vector<std::string>, std::shared_ptr<BVUserInfoItem>>;

bv::Data archive(const Value& value);
// The argument of kind held in an archive; nothing for damaged bytes or another kind.
std::optional<Value> unarchive(ArgKind kind, const bv::Data& bytes);

}  // namespace BVExtensionActions
