case 0:  // the connect request
    return AnswerConnect(request, handler, detail::kServerVersion);
