bool @stub@::GetSendFlag(int) { return true; }
