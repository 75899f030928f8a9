#include "BVApi/Content/BVUserItems.h"

#include "platform/Format.h"

using C = BVItemClass;

namespace {

// A list of dictionaries by design, unlike the other fields kept as sent; the answer's own
// depth limit bounds it, and it is never archived.
BVValue notificationList(const nlohmann::json* raw) {
    return raw ? BVValue(*raw) : BVValue();
}

}  // namespace

const BVItemClass& BVUserSessionItem::itemClass() {
    using T = BVUserSessionItem;
    static const BVItemClass cls({
        .name = "BVUserSessionItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields =
            {C::field<&T::sessionId>("sessionId"), C::field<&T::username>("username"),
             C::field<&T::accountType>("accountType"), C::field<&T::driveName>("driveName"),
             C::field<&T::firstName>("firstName"), C::field<&T::lastName>("lastName"),
             C::field<&T::userId>("userId"), C::field<&T::uploadSpeedLimit>("uploadSpeedLimit"),
             C::field<&T::active2FA>("active2FA"), C::field<&T::isAccountUser>("isAccountUser"),
             C::field<&T::encryptionKey>("encryptionKey"),
             C::field<&T::userIdentifier>("userIdentifier"), C::field<&T::userLevel>("userLevel")},
        .mapping = std::vector<BVKeyMapping>{{"sessionId", "SessionID"},
                                             {"username", "UserName"},
                                             {"accountType", "AccType"},
                                             {"driveName", "DriveName"},
                                             {"firstName", "UserFirstName"},
                                             {"lastName", "UserLastName"},
                                             {"userId", "UserID"},
                                             {"uploadSpeedLimit", "UploadSpeedLimit"},
                                             {"active2FA", "Active2FA"},
                                             {"isAccountUser", "IsAccountUser", BVConverter::Flag}},
        .encodeArray = std::vector<std::string>{"identifier", "sessionId", "isAccountUser",
                                                "userIdentifier", "accountType", "username",
                                                "firstName", "lastName", "driveName", "userLevel",
                                                "userId", "uploadSpeedLimit", "active2FA"},
    });
    return cls;
}

std::string BVUserSessionItem::description() const {
    // Descriptions reach the log; the session id there would let anyone reading it in.
    return bv::format("%@ (username=%@, sessionId=%@)", baseDescription(), username,
                      sessionId.empty() ? "" : "hidden");
}

const BVItemClass& BVUserInfoItem::itemClass() {
    using T = BVUserInfoItem;
    static const BVItemClass cls({
        .name = "BVUserInfoItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::storageMax>("storageMax"), C::field<&T::storageUsed>("storageUsed"),
                   C::field<&T::bandwidthUsed>("bandwidthUsed"),
                   C::field<&T::bandwidthMax>("bandwidthMax"), C::field<&T::plan>("plan"),
                   C::field<&T::trashCount>("trashCount")},
        .mapping = std::vector<BVKeyMapping>{{"storageMax", "MaxStorage", BVConverter::Integer},
                                             {"storageUsed", "StorageUsed", BVConverter::Integer},
                                             {"bandwidthUsed", "BwUsed", BVConverter::Integer},
                                             {"bandwidthMax", "BwMax", BVConverter::Integer},
                                             {"plan", "UserPlan"}},
        .encodeArray =
            std::vector<std::string>{"identifier", "storageMax", "storageUsed", "bandwidthUsed",
                                     "bandwidthMax", "plan", "trashCount"},
    });
    return cls;
}

bool BVUserInfoItem::isUnlimited() const {
    return plan.find("Unlimited") != std::string::npos;
}

const BVItemClass& BVUserLinksItem::itemClass() {
    using T = BVUserLinksItem;
    static const BVItemClass cls({
        .name = "BVUserLinksItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::accountLink>("accountLink"),
                   C::field<&T::billingLink>("billingLink")},
        .mapping =
            std::vector<BVKeyMapping>{{"accountLink", "account"}, {"billingLink", "billing"}},
        .encodeArray = std::vector<std::string>{"accountLink", "billingLink"},
    });
    return cls;
}

const BVItemClass& BVNotificationsItem::itemClass() {
    using T = BVNotificationsItem;
    static const BVItemClass cls({
        .name = "BVNotificationsItem",
        .superclass = &BVContentItem::itemClass(),
        .create = &bvCreateItem<T>,
        .fields = {C::field<&T::list>("list")},
        .mapping = std::vector<BVKeyMapping>{{.field = "list",
                                              .keyPath = "Notification",
                                              .converter = BVConverter::Custom,
                                              .custom = &notificationList}},
        .encodeArray = std::vector<std::string>{},
    });
    return cls;
}
