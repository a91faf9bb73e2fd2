select
    customer_id,
    first_name,
    country,
    cast(signed_up_at as date) as signed_up_at
from {{ ref('customers') }}
