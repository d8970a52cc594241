// (empty until its code lands)
