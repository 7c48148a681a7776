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
  USER_HIVE_UNREACHED,   // the user's folder lies where this image holds no volume to reach
};

extern const wchar_t kSoftwareHiveFile[];
extern const wchar_t kDefaultUserHiveFile[];

struct UserHive {
  // The hive's path on its volume (the default hive's for USER_HIVE_DEFAULT
  // and USER_HIVE_NO_PROFILE).
  std::wstring file;
  // The partition (0-based table entry) of the image's disk that holds it
  // when that is not the main volume's: the drive of a profile folder on
  // another drive than the system's, placed by SYSTEM's MountedDevices;
  // -1 for the main volume.
  int partition = -1;
  // The file as a line names it: on another partition, by the drive
  // ProfileList gives and the partition.
  std::wstring shown;
  // USER_HIVE_UNREACHED: why, naming the folder as ProfileList gives it.
  std::wstring why;
};

// The user's folder is the one ProfileList gives for the user's SID where
// the image names it; else, by the user's name and domain, "NAME.DOMAIN"
// of the user's own domain (Windows makes it only when "NAME" is another
// account's), else "NAME", else the one folder of the name made again in
// another form ("NAME.COMPUTER", "NAME.NNN"); never merely a name that
// begins with the user's ("j.doe" is not "j"'s), nor a folder ProfileList
// gives another account. A folder on the system drive (SOFTWARE's
// SystemRoot; C: when it names none) lies on the main volume; on another
// drive, on the partition of this disk that SYSTEM's MountedDevices gives
// that drive, else it is not reached (never a folder of the same name on
// the main volume). software: SOFTWARE loaded already, or null.
UserHiveFound FindUserHive(CMountedImage* image, CRegHive* software, UserHive* hive);
