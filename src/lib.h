// The Python module definition and its execution step.
#pragma once
