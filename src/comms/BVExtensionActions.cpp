#include "comms/BVExtensionActions.h"

#include "BVApi/Content/BVUserItems.h"
#include "comms/CommValue.h"

namespace BVExtensionActions {

const std::vector<Entry>& table() {
    using enum Parser;
    using enum ArgKind;
    static const std::vector<Entry> entries = {
        {kAlive, Alive, {}},
        {kInit, ArchivedData, {String}},
        {kRequestUserInfo, ArchivedData, {}},
        {kBroadcastUserInfo, ArchivedData, {UserInfo}},
        {kShare, ArchivedData, {String}},
        {kShowProperties, ArchivedData, {String}},
        {kRefreshFolder, ArchivedData, {String}},
        {kMoveToTrash, ArchivedData, {StringArray}},
        {kTrashDelete, ArchivedData, {StringArray}},
        {kTrashRestore, ArchivedData, {StringArray}},
        {kEmptyTrash, ArchivedData, {}},
        {kObserveBegin, ObservingStatus, {String}},
        {kObserveEnd, ObservingStatus, {String}},
        {kServerShutdown, ArchivedData, {}},
        {kActivityBegin, ArchivedData, {}},
        {kActivityEnd, ArchivedData, {}},
    };
    return entries;
}

const Entry* find(const std::string& action) {
    for (const auto& entry : table()) {
        if (action == entry.action)
            return &entry;
    }
    return nullptr;
}

bv::Data archive(const Value& value) {
    if (auto* text = std::get_if<std::string>(&value))
        return CommValue::string(*text).archived();
    if (auto* list = std::get_if<std::vector<std::string>>(&value))
        return CommValue::array(nlohmann::json(*list)).archived();
    const auto& info = std::get<std::shared_ptr<BVUserInfoItem>>(value);
    return info ? info->archivedData() : bv::Data();
}

std::optional<Value> unarchive(ArgKind kind, const bv::Data& bytes) {
    if (kind == ArgKind::UserInfo) {
        auto info = BVContentItem::unarchiveAs<BVUserInfoItem>(bytes);
        if (!info)
            return std::nullopt;
        return Value(info);
    }
    auto value = CommValue::unarchive(bytes);
    if (!value)
        return std::nullopt;
    if (kind == ArgKind::String) {
        if (value->kind != CommValue::Kind::String)
            return std::nullopt;
        return Value(value->value.get<std::string>());
    }
    if (value->kind != CommValue::Kind::Array)
        return std::nullopt;
    std::vector<std::string> paths;
    for (const auto& item : value->value) {
        if (!item.is_string())
            return std::nullopt;
        paths.push_back(item.get<std::string>());
    }
    return Value(std::move(paths));
}

}  // namespace BVExtensionActions
