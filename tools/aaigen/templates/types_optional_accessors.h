@type@ get@accessor@() const;
void set@accessor@(@type@ value);
bool has@accessor@() const;
void clear@accessor@();
@type@ getOrDefault@accessor@(@param@ defaultValue) const;
