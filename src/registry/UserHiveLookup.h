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
  USER_HIVE_NO_PROFILE,  // a last user no profile folder of the image is the user's: the same
  USER_HIVE_UNREADABLE,  // SOFTWARE, which names the user, cannot be read
};

extern const wchar_t kSoftwareHiveFile[];
extern const wchar_t kDefaultUserHiveFile[];

// The user's hive path on the image's main volume in *path (the default
// hive's for USER_HIVE_DEFAULT and USER_HIVE_NO_PROFILE). A folder is the
// user's when ProfileList gives it for the user's SID, or bears the user's
// name as Windows names profile folders (NAME, NAME.DOMAIN, NAME.COMPUTER,
// NAME.NNN), never merely a name that begins with the user's ("j.doe" is
// not "j"'s). software: SOFTWARE loaded already, or null.
UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, std::wstring* path);
