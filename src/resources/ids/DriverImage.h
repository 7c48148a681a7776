// Resource ids: The image driver manager and its property sheets.
#pragma once
