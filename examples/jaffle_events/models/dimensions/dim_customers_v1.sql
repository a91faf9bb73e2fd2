select
    customer_id,
    first_name,
    country
from {{ ref('stg_customers') }}
