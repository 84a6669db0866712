// Search expressions: boolean expressions of words and quoted strings matched against a line.
#pragma once
