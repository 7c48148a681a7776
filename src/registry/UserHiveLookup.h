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
// hive's for USER_HIVE_DEFAULT and USER_HIVE_NO_PROFILE). The user's folder
// is the one ProfileList gives for the user's SID where the image names it;
// else, by the user's name and domain, "NAME.DOMAIN" of the user's own
// domain (Windows makes it only when "NAME" is another account's), else
// "NAME", else the one folder of the name made again in another form
// ("NAME.COMPUTER", "NAME.NNN"); never merely a name that begins with the
// user's ("j.doe" is not "j"'s), nor a folder ProfileList gives another
// account. software: SOFTWARE loaded already, or null.
UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, std::wstring* path);
