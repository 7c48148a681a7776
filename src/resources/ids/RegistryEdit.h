// Resource ids: The registry editor's value editors, resource viewers, search and commands.
#pragma once
