// The stored loader texts of the PE packers.
#pragma once
#include <string>

namespace upx {

// The loader listing of the PE32 (amd64 false) or PE32+ packer.
std::string makePeLoaderListing(bool amd64);

}  // namespace upx
