// Resource ids: Volume backup, clone and convert: console texts and messages.
#pragma once
