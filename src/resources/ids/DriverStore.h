// Resource ids: The driver-store manager, the driver setup dialogs and the own-programs page.
#pragma once
