// The Python entry points of the three workbook reports.
#pragma once
