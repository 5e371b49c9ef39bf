#pragma once

#include <boost/function.hpp>

// Called with the timer's private copy of its data (null when it has none)
// and the data's length. Whatever the bound function returns is ignored.
typedef boost::function<void(const void *data, int len)> TimerCallback;
