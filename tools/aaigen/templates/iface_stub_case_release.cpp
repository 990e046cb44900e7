case @id@:  // release
    return AnswerRelease(request, handler);
