// Users and rights of a base, kept under the root's "access" element. A
// user's element is named by base64 of HMAC-SHA1 of the user name; its
// sub-level holds "p:" + a keyed digest of the name and pass phrase (the
// pass phrase itself is never stored) and "r:" + the right ("read",
// "write" or "admin"; admin holds both others).
#include "base/VEKCursor.h"
#include "base/VEKTree.h"
#include "tls/src/base64.h"
#include "tls/src/hmac.h"

namespace VekBase {

namespace {

const std::string kAccess = "access";
const std::string kUserKey = "quillfern";  // fixed key of the user digests
const std::string kPassPrefix = "p:";
const std::string kRightPrefix = "r:";

std::string keyedDigest(const std::string& text) {
  VekTls::digest_ctx context;
  VekTls::new_sha1_digest(&context);
  VekTls::hmac(reinterpret_cast<const u8*>(kUserKey.data()), static_cast<int>(kUserKey.size()),
               reinterpret_cast<const u8*>(text.data()), static_cast<int>(text.size()), &context);
  u8 encoded[VekTls::base64_encoded_length(20) + 1];
  VekTls::base64_encode(reinterpret_cast<const u8*>(context.hash), 20, encoded);
  return std::string(reinterpret_cast<const char*>(encoded));
}

std::string userElement(const std::string& user) { return keyedDigest(user); }

std::string passDigest(const std::string& user, const std::string& pass) {
  return kPassPrefix + keyedDigest(user + std::string(1, '\0') + pass);
}

bool validRight(const std::string& right) { return right == "read" || right == "write" || right == "admin"; }

bool holds(const std::string& held, const std::string& asked) {
  return asked.empty() || held == "admin" || held == asked;
}

}  // namespace

// The stored digest and right of user; false when there is no such user.
bool VEKCursorBase::userRecord(const std::string& user, u64* id, std::string* digest, std::string* right) {
  u64 access = rootChild(kAccess, false);
  if (access == 0 || !base().find(access, userElement(user), id)) return false;
  digest->clear();
  right->clear();
  for (const std::string& key : childKeys(*id)) {
    if (key.compare(0, kPassPrefix.size(), kPassPrefix) == 0) *digest = key;
    if (key.compare(0, kRightPrefix.size(), kRightPrefix) == 0) *right = key.substr(kRightPrefix.size());
  }
  return true;
}

bool VEKCursorBase::addUser(const std::string& user, const std::string& pass, const std::string& right) {
  if (user.empty() || !validRight(right)) return false;
  u64 id = 0, child = 0;
  if (!base().insert(rootChild(kAccess, true), userElement(user), &id)) return false;
  base().insert(id, passDigest(user, pass), &child);
  child = 0;
  base().insert(id, kRightPrefix + right, &child);
  return true;
}

bool VEKCursorBase::deleteUser(const std::string& user, const std::string& pass) {
  u64 id;
  std::string digest, right;
  if (!userRecord(user, &id, &digest, &right) || digest != passDigest(user, pass)) return false;
  deleteSubtree(id);
  base().erase(rootChild(kAccess, true), userElement(user));
  return true;
}

// Renames the user and sets the new pass phrase; the right stays.
bool VEKCursorBase::changePassword(const std::string& user, const std::string& pass, const std::string& newUser,
                                   const std::string& newPass) {
  u64 id;
  std::string digest, right;
  if (newUser.empty() || !userRecord(user, &id, &digest, &right) || digest != passDigest(user, pass)) return false;
  u64 otherId;
  std::string otherDigest, otherRight;
  if (newUser != user && userRecord(newUser, &otherId, &otherDigest, &otherRight)) return false;
  deleteUser(user, pass);
  return addUser(newUser, newPass, validRight(right) ? right : "read");
}

// With no users every login succeeds; otherwise the pass phrase must match
// and the user must hold the right asked for (an empty right asks none).
bool VEKCursorBase::login(const std::string& user, const std::string& pass, const std::string& right) {
  u64 access = rootChild(kAccess, false);
  if (access == 0 || countLevel(access) == 0) return true;
  u64 id;
  std::string digest, held;
  if (!userRecord(user, &id, &digest, &held) || digest != passDigest(user, pass)) return false;
  return holds(held, right);
}

}  // namespace VekBase
