#pragma once

#include "BVApi/Content/BVContentItem.h"

// The signed-in session and user (identifier "default").
class BVUserSessionItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    BVUserSessionItem() { identifier = "default"; }
    std::string description() const override;

    std::string sessionId;
    std::string username;
    nlohmann::json accountType;
    std::string driveName;
    std::string firstName;
    std::string lastName;
    std::string userId;
    nlohmann::json uploadSpeedLimit;  // as sent
    nlohmann::json active2FA;         // as sent; the text "1" asks for a second factor
    bool isAccountUser = false;
    // Set when the secure folders are opened. Held in memory only, never archived: it opens
    // every secure folder of the account, and the cache writes archives to disk.
    bv::Data encryptionKey;
    nlohmann::json userIdentifier;  // kept empty
    nlohmann::json userLevel;       // kept empty
};

// Storage and bandwidth figures of the account (identifier "default").
class BVUserInfoItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    BVUserInfoItem() { identifier = "default"; }
    // Whether the plan's text contains "Unlimited" (letter case counts).
    bool isUnlimited() const;

    int64_t storageMax = 0;
    int64_t storageUsed = 0;
    int64_t bandwidthUsed = 0;
    int64_t bandwidthMax = 0;
    std::string plan;
    int64_t trashCount = 0;  // set from the trash listing
};

// Web links of the account page and of the billing page (identifier "default").
class BVUserLinksItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    BVUserLinksItem() { identifier = "default"; }

    std::string accountLink;
    std::string billingLink;
};

// Notifications for the user: an array of {"Type", "Text", "URL"} dictionaries as sent.
class BVNotificationsItem : public BVContentItem {
    BV_ITEM_CLASS()
  public:
    nlohmann::json list;
};
