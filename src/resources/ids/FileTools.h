// Resource ids: File properties, the file viewer and file search.
#pragma once
