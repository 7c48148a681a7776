// Which file HKEY_CURRENT_USER is: the ntuser.dat Windows loads for the
// last user, in the profile folder SOFTWARE's ProfileList gives for that
// user. SOFTWARE is read where it lies, a few cells at a time, unless the
// image holds it loaded already: a large SOFTWARE costs nothing here.
#pragma once
#include <string>

class CMountedImage;
class CRegHive;

enum UserHiveFound {
  USER_HIVE_PROFILE,     // the last user's profile hive
  USER_HIVE_DEFAULT,     // no last user named: the hive of HKEY_USERS\.DEFAULT
  USER_HIVE_UNREADABLE,  // SOFTWARE, which names the user, cannot be read
};

extern const wchar_t kSoftwareHiveFile[];
extern const wchar_t kDefaultUserHiveFile[];

// The user's hive path on the image's main volume in *path (the default
// hive's for USER_HIVE_DEFAULT). software: SOFTWARE loaded already, or null.
UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, std::wstring* path);
