// Resource ids: The disk-tool dialogs and the boot and system options dialog.
#pragma once
