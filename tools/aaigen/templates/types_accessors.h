@type@ get@accessor@() const;
void set@accessor@(@type@ value);
